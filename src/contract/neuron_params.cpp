#include "contract/neuron_params.h"

#include <optional>

#include "engine_api/tensor.h"
#include "contract/field_checks.h"
#include "contract/strided_view.h"

namespace morla {
namespace {

// The tensor's bytes; a tensor absent reads as zeros.
class Bytes {
 public:
  explicit Bytes(const Tensor* tensor) {
    if (tensor) view_.emplace(*tensor);
  }
  uint32_t operator[](size_t index) const { return view_ ? (*view_)[index] : 0; }

 private:
  std::optional<IndexedView<uint8_t>> view_;
};

}  // namespace

std::vector<uint32_t> pack_neuron_params(const Tensor& output_shift, const Tensor& output_scales,
                                         const Tensor* max_value_shift, const Tensor* max_value,
                                         const Tensor& bias_shift, const Tensor& bias) {
  const size_t neurons = bias.size();
  // Every tensor's element type is checked before any value is read.
  check_tensor_type<int8_t>(output_shift);
  check_tensor_type<uint8_t>(output_scales);
  if (max_value_shift) check_tensor_type<uint8_t>(*max_value_shift);
  if (max_value) check_tensor_type<uint8_t>(*max_value);
  check_tensor_type<uint8_t>(bias_shift);
  check_tensor_type<int8_t>(bias);
  const Bytes shifts(&output_shift), scales(&output_scales), max_shifts(max_value_shift),
      maxima(max_value), bias_shifts(&bias_shift), biases(&bias);
  std::vector<uint32_t> words;
  words.reserve(2 * neurons);
  for (size_t i = 0; i < neurons; ++i) {
    const uint32_t shift = signed_field(static_cast<int8_t>(shifts[i]), 6);
    const uint32_t max_shift = unsigned_field(max_shifts[i], 5);
    const uint32_t bias_shift_value = unsigned_field(bias_shifts[i], 5);
    const uint32_t max = maxima[i];
    words.push_back(shift | scales[i] << 6 | max_shift << 14 | (max & 1) << 19);
    words.push_back(max >> 1 | bias_shift_value << 7 | biases[i] << 12);
  }
  return words;
}

std::vector<uint32_t> pack_neuron_params_narrow(const Tensor& output_scales, const Tensor& bias,
                                                const Tensor& bias_shift,
                                                const Tensor& output_shift,
                                                const Tensor& activation_shift,
                                                const Tensor& activation_scales) {
  const size_t neurons = bias.size();
  check_tensor_type<uint8_t>(output_scales);
  check_tensor_type<int8_t>(bias);
  check_tensor_type<uint8_t>(bias_shift);
  check_tensor_type<int8_t>(output_shift);
  check_tensor_type<int8_t>(activation_shift);
  check_tensor_type<uint8_t>(activation_scales);
  const Bytes scales(&output_scales), biases(&bias), bias_shifts(&bias_shift),
      shifts(&output_shift), activation_shifts(&activation_shift),
      activation_scale_bytes(&activation_scales);
  std::vector<uint32_t> words;
  words.reserve(2 * neurons);
  for (size_t i = 0; i < neurons; ++i) {
    const uint32_t p3 = bias_shifts[i];
    // Five bits split over the two words: the check names the part above bit 4.
    unsigned_field(p3 >> 4, 1);
    const uint32_t p4 = signed_field(static_cast<int8_t>(shifts[i]), 6);
    const uint32_t p5 = signed_field(static_cast<int8_t>(activation_shifts[i]), 6);
    words.push_back(scales[i] | biases[i] << 8 | (p3 & 0xF) << 16);
    words.push_back(p3 >> 4 | p4 << 1 | p5 << 7 | activation_scale_bytes[i] << 13);
  }
  return words;
}

}  // namespace morla
