#include "mapping/neuron_params.h"

#include "core/tensor.h"
#include "mapping/field_checks.h"

namespace morla {
namespace {

template <typename T> uint32_t byte_at(const Tensor& tensor, size_t index) {
  return static_cast<uint8_t>(tensor.get<T>(index));
}

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
  std::vector<uint32_t> words;
  words.reserve(2 * neurons);
  for (size_t i = 0; i < neurons; ++i) {
    const uint32_t shift = signed_field(output_shift.get<int8_t>(i), 6);
    const uint32_t max_shift =
        unsigned_field(max_value_shift ? byte_at<uint8_t>(*max_value_shift, i) : 0, 5);
    const uint32_t bias_shift_value = unsigned_field(byte_at<uint8_t>(bias_shift, i), 5);
    const uint32_t max = max_value ? byte_at<uint8_t>(*max_value, i) : 0;
    words.push_back(shift | byte_at<uint8_t>(output_scales, i) << 6 | max_shift << 14 |
                    (max & 1) << 19);
    words.push_back(max >> 1 | bias_shift_value << 7 | byte_at<int8_t>(bias, i) << 12);
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
  std::vector<uint32_t> words;
  words.reserve(2 * neurons);
  for (size_t i = 0; i < neurons; ++i) {
    const uint32_t p3 = byte_at<uint8_t>(bias_shift, i);
    // Five bits split over the two words: the check names the part above bit 4.
    unsigned_field(p3 >> 4, 1);
    const uint32_t p4 = signed_field(output_shift.get<int8_t>(i), 6);
    const uint32_t p5 = signed_field(activation_shift.get<int8_t>(i), 6);
    words.push_back(byte_at<uint8_t>(output_scales, i) | byte_at<int8_t>(bias, i) << 8 |
                    (p3 & 0xF) << 16);
    words.push_back(p3 >> 4 | p4 << 1 | p5 << 7 | byte_at<uint8_t>(activation_scales, i) << 13);
  }
  return words;
}

}  // namespace morla
