#include "backend/v2/cnp_shifts.h"

#include "backend/v2/np_registers.h"
#include "mapping/field_checks.h"

namespace morla::v2 {

namespace {

uint8_t byte_at(const Tensor* t, size_t n) {
  check_tensor_index(*t, n);
  return static_cast<const uint8_t*>(t->buffer().data())[n];
}

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
