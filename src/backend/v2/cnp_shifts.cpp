#include "backend/v2/cnp_shifts.h"

#include <optional>

#include "backend/v2/variable_access.h"
#include "core/register_field.h"
#include "contract/field_checks.h"
#include "contract/strided_view.h"

namespace morla::v2 {

LayerNeuronTensors read_neuron_tensors(const Layer& layer) {
  LayerNeuronTensors out;
  const auto get = [&](const char* name) -> const Tensor* {
    out.held.push_back(optional_variable(layer, name));
    return out.held.back().get();
  };
  NeuronTensors& t = out.tensors;
  t.max_value = get("max_value");
  t.max_value_shift = get("max_value_shift");
  t.activation_shift = get("activation_shift");
  t.activation_scales = get("activation_scales");
  t.output_shift = get("output_shift");
  t.bias_shift = get("bias_shift");
  t.bias = get("bias");
  t.output_scales = get("output_scales");
  return out;
}

void require_neuron_range(const Layer& layer, const NeuronTensors& t, uint32_t first,
                          uint32_t count) {
  const std::pair<const char*, const Tensor*> named[] = {{"max_value", t.max_value},
                                                         {"max_value_shift", t.max_value_shift},
                                                         {"activation_shift", t.activation_shift},
                                                         {"activation_scales", t.activation_scales},
                                                         {"output_shift", t.output_shift},
                                                         {"bias_shift", t.bias_shift},
                                                         {"bias", t.bias},
                                                         {"output_scales", t.output_scales}};
  for (const auto& [name, tensor] : named)
    if (tensor) require_elements(layer, name, *tensor, first, count);
}

namespace {

// The fields of one neuron's two words, by word from the neuron's first word.
constexpr BlockField kOutputScale{0, 0, 8};
constexpr BlockField kBias{0, 8, 8};
constexpr BlockField kBiasShift{0, 16, 5};
constexpr BlockField kOutputShift{0, 21, 6};
constexpr BlockField kMaxValueOrActivationShift{0, 27, 5};
constexpr BlockField kActivationShiftBit5{1, 0, 1};
constexpr BlockField kMaxValue{1, 0, 8};
constexpr BlockField kActivationScale{1, 1, 8};

}  // namespace

std::vector<uint32_t> record_cnp_shifts(const NeuronTensors& t, uint32_t first, uint32_t filters) {
  // Element types first, in this order, before any word is written.
  if (t.output_scales) check_tensor_type<uint8_t>(*t.output_scales);
  if (t.bias) check_tensor_type<int8_t>(*t.bias);
  if (t.bias_shift) check_tensor_type<uint8_t>(*t.bias_shift);
  if (t.max_value_shift) check_tensor_type<uint8_t>(*t.max_value_shift);
  if (t.max_value) check_tensor_type<uint8_t>(*t.max_value);
  if (t.output_shift) check_tensor_type<int8_t>(*t.output_shift);
  if (t.activation_shift) check_tensor_type<int8_t>(*t.activation_shift);
  if (t.activation_scales) check_tensor_type<uint8_t>(*t.activation_scales);

  // The bytes of each tensor present, its size read once.
  using Bytes = std::optional<IndexedView<uint8_t>>;
  const auto bytes_of = [](const Tensor* tensor) {
    return tensor ? Bytes(IndexedView<uint8_t>(*tensor)) : Bytes();
  };
  const Bytes output_scales = bytes_of(t.output_scales), bias = bytes_of(t.bias),
              bias_shift = bytes_of(t.bias_shift), output_shift = bytes_of(t.output_shift),
              max_value_shift = bytes_of(t.max_value_shift),
              activation_shift = bytes_of(t.activation_shift),
              activation_scales = bytes_of(t.activation_scales), max_value = bytes_of(t.max_value);

  std::vector<uint32_t> words(size_t{2} * filters, 0);
  for (uint32_t i = 0; i < filters; ++i) {
    const size_t n = size_t{first} + i;
    const size_t a = 2 * size_t{i};
    if (output_scales)
      set_register_field(words, offset_field(kOutputScale, a), (*output_scales)[n]);
    if (bias) set_register_field(words, offset_field(kBias, a), (*bias)[n]);
    if (bias_shift) set_register_field(words, offset_field(kBiasShift, a), (*bias_shift)[n]);
    if (output_shift)
      set_register_field(words, offset_field(kOutputShift, a),
                         signed_field(static_cast<int8_t>((*output_shift)[n]), 6));
    if (max_value_shift)
      set_register_field(words, offset_field(kMaxValueOrActivationShift, a), (*max_value_shift)[n]);
    if (activation_shift) {
      const uint8_t shift = (*activation_shift)[n];
      set_register_field(words, offset_field(kMaxValueOrActivationShift, a), shift & 0x1F);
      set_register_field(words, offset_field(kActivationShiftBit5, a), (shift >> 5) & 1);
    }
    if (activation_scales)
      set_register_field(words, offset_field(kActivationScale, a), (*activation_scales)[n]);
    if (max_value) set_register_field(words, offset_field(kMaxValue, a), (*max_value)[n]);
  }
  return words;
}

}  // namespace morla::v2
