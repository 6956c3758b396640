#include "backend/v2/cnp_shifts.h"

#include "backend/v2/np_registers.h"
#include "backend/v2/variable_access.h"
#include "mapping/field_checks.h"

namespace morla::v2 {

namespace {

uint8_t byte_at(const Tensor* t, size_t n) {
  check_tensor_index(*t, n);
  return static_cast<const uint8_t*>(t->buffer().data())[n];
}

}  // namespace

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
  const std::pair<const char*, const Tensor*> named[] = {
      {"max_value", t.max_value},
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

  std::vector<uint32_t> words(size_t{2} * filters, 0);
  for (uint32_t i = 0; i < filters; ++i) {
    const size_t n = size_t{first} + i;
    const size_t a = 2 * size_t{i}, b = a + 1;
    if (t.output_scales) set_bits(words, a, 0, 7, byte_at(t.output_scales, n));
    if (t.bias) set_bits(words, a, 8, 15, byte_at(t.bias, n));
    if (t.bias_shift) set_bits(words, a, 16, 20, byte_at(t.bias_shift, n));
    if (t.output_shift)
      set_bits(words, a, 21, 26,
               signed_field(static_cast<int8_t>(byte_at(t.output_shift, n)), 6));
    if (t.max_value_shift) set_bits(words, a, 27, 31, byte_at(t.max_value_shift, n));
    if (t.activation_shift) {
      const uint8_t shift = byte_at(t.activation_shift, n);
      set_bits(words, a, 27, 31, shift & 0x1F);
      set_bits(words, b, 0, 0, (shift >> 5) & 1);
    }
    if (t.activation_scales) set_bits(words, b, 1, 8, byte_at(t.activation_scales, n));
    if (t.max_value) set_bits(words, b, 0, 7, byte_at(t.max_value, n));
  }
  return words;
}

}  // namespace morla::v2
