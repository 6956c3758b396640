#include "backend/v2/tensor_packing.h"

#include <algorithm>
#include <cstdlib>
#include <stdexcept>
#include <string>

#include "contract/field_checks.h"

namespace morla::v2 {

namespace {

constexpr size_t kLutEntries = 2048;

uint32_t lut_entry(const int32_t* values, size_t i) { return signed_field(values[i], 14); }

}  // namespace

std::vector<uint32_t> copy_tensor_bytes(const Tensor& tensor, uint32_t first, uint32_t count) {
  const uint8_t* bytes = tensor.data<uint8_t>();
  const size_t size = tensor.size();
  // A count of 0 stands for the whole tensor, wherever the copy starts.
  if (count == 0) count = static_cast<uint32_t>(size);
  if (size_t{first} + count > size)
    throw std::runtime_error("Bytes " + std::to_string(first) + " to " +
                             std::to_string(size_t{first} + count) + " lie outside a tensor of " +
                             std::to_string(size) + " elements.");
  std::vector<uint32_t> words(2 * ((size_t{count} + 7) / 8), 0);
  for (uint32_t i = 0; i < count; ++i) words[i / 4] |= uint32_t{bytes[first + i]} << (8 * (i % 4));
  return words;
}

std::vector<uint32_t> copy_tensor_bytes(const Tensor& tensor) {
  return copy_tensor_bytes(tensor, 0, 0);
}

std::vector<uint32_t> pack_weights(const Tensor& a, const Tensor& b, const Tensor& c,
                                   uint32_t first, uint32_t count) {
  std::vector<uint32_t> words((size_t{count} + 3) / 4, 0);
  for (uint32_t n = 0; n < count; ++n) {
    const size_t i = size_t{first} + n;
    const int32_t av = a.get<uint8_t>(i);
    const int32_t bv = b.get<uint8_t>(i);
    const int32_t cv = c.get<int8_t>(i);
    const uint32_t shift = signed_field(std::max(av, bv) + cv, 3);
    // A difference of 16 or more would carry into the shift bits.
    const uint32_t difference = unsigned_field(static_cast<uint32_t>(std::abs(av - bv)), 4);
    const uint32_t byte = (av <= bv ? 128u : 0u) + difference + 16u * shift;
    words[n / 4] |= byte << (8 * (n % 4));
  }
  return words;
}

std::vector<uint32_t> pack_activation_lut_pairs(const Tensor& lut) {
  const int32_t* values = lut.data<int32_t>();
  if ((lut.size() & ~size_t{1}) != kLutEntries) throw std::runtime_error("Wrong size for LUT.");
  std::vector<uint32_t> words(kLutEntries / 2, 0);
  for (size_t i = 0; i < words.size(); ++i) {
    const uint32_t low = lut_entry(values, 2 * i);
    const uint32_t high = lut_entry(values, 2 * i + 1);
    words[i] = low | high << 16;
  }
  return words;
}

std::vector<uint32_t> pack_activation_lut(const Tensor& lut) {
  const int32_t* values = lut.data<int32_t>();
  if (lut.size() != kLutEntries) throw std::runtime_error("Wrong size for LUT.");
  std::vector<uint32_t> words(kLutEntries, 0);
  for (size_t i = 0; i < words.size(); ++i) words[i] = lut_entry(values, i);
  return words;
}

}  // namespace morla::v2
