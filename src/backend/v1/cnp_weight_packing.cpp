#include "backend/v1/cnp_weight_packing.h"

#include <array>
#include <stdexcept>

#include "backend/v1/cnp_weight_sizes.h"
#include "backend/v1/field_fit.h"
#include "contract/slot_bits.h"
#include "contract/strided_view.h"

namespace morla::v1 {

namespace {

uint32_t ceil_div(uint32_t a, uint32_t b) { return (a + b - 1) / b; }
uint32_t round_up(uint32_t a, uint32_t multiple) { return ceil_div(a, multiple) * multiple; }

// The strides of a four-dimension weight tensor; other tensors are refused.
std::vector<uint32_t> weight_strides(const Dense& weights) {
  if (weights.shape().size() != 4)
    throw std::invalid_argument("CNP weights must have four dimensions.");
  return weights.strides();
}

// |v| mod 8 in bits 0-2, bit 3 for a positive value; looked up by the weight's byte.
constexpr std::array<uint8_t, 256> kFourBitCodes = [] {
  std::array<uint8_t, 256> codes{};
  for (int v = -128; v < 128; ++v)
    codes[static_cast<uint8_t>(v)] = static_cast<uint8_t>((v < 0 ? -v : v) % 8 | (v > 0 ? 8 : 0));
  return codes;
}();

uint32_t four_bit_magnitude_code(int8_t value) {
  return kFourBitCodes[static_cast<uint8_t>(value)];
}

// The code of a separable weight in its low `bits` bits.
uint64_t separable_code(int value, int weights_bits) {
  const uint32_t code = weights_bits == 4 ? signed_code4(value) : signed_code2(value);
  return code & ((uint64_t{1} << weights_bits) - 1);
}

}  // namespace

uint32_t signed_code4(int value) { return fit_signed(value, 4); }
uint32_t signed_code2(int value) { return fit_signed(value, 2); }

std::vector<uint32_t> pack_cnp_weights(const Dense& weights, uint32_t start, uint32_t count) {
  const std::vector<uint32_t> strides = weight_strides(weights);
  const Shape shape = weights.shape();
  const uint32_t kernel = shape[3], channels = shape[1];
  if (kernel != 1 && kernel != 3 && kernel != 5 && kernel != 7)
    throw std::runtime_error("Unsupported kernel size");
  const uint32_t row_words = cnp_filter_words(kernel, 1, count, 4);
  std::vector<uint32_t> words(size_t{channels} * row_words, 0);
  if (kernel == 1) {
    // Filter j of channel c at the offset of (start, c) plus j.
    const size_t first = size_t{start} * strides[0];
    const int8_t* data = checked_elements<int8_t>(
        weights,
        count == 0 || channels == 0 ? 0 : first + size_t{channels - 1} * strides[1] + count);
    for (uint32_t c = 0; c < channels; ++c) {
      const size_t base = size_t{c} * row_words;
      const int8_t* row = data + first + size_t{c} * strides[1];
      for (uint32_t j = 0; j < count; ++j)
        or_slot_bits(words, base + 2 * size_t{j / 12}, (j % 12) * 4,
                     four_bit_magnitude_code(row[j]));
    }
    return words;
  }
  const StridedView<int8_t> at(weights, strides,
                               {index_extent(start, count), channels, kernel, kernel});
  for (uint32_t c = 0; c < channels; ++c) {
    const size_t base = size_t{c} * row_words;
    const uint32_t block_words = kernel == 3 ? 12 : kernel == 5 ? 32 : 84;
    for (uint32_t block = 0; block * 8 < count; ++block) {
      SlotCursor cursor(words, base + size_t{block} * block_words, kernel == 3 ? 48u : 50u);
      for (uint32_t y = 0; y < kernel; ++y) {
        uint32_t rows_since_step = 0;
        for (uint32_t i = 0; i < 8; ++i) {
          const uint32_t f = block * 8 + i;
          for (uint32_t x = 0; x < kernel; ++x)
            cursor.put(f < count ? four_bit_magnitude_code(at(start + f, c, y, x)) : 0, 4);
          // A 7x7 row holds three filter rows per pair of slots at most.
          if (kernel == 7 && ++rows_since_step >= 3 && cursor.bit() != 0) {
            cursor.next_slot();
            rows_since_step = 0;
          }
        }
        // Only a 7x7 kernel row starts on a fresh slot: 3x3 rows fill whole slots, and 5x5
        // rows run on (a block of 8 filters is 800 bits, 16 slots exactly).
        if (kernel == 7) cursor.align();
      }
      cursor.finish();
    }
  }
  return words;
}

std::vector<uint32_t> format_cnp_weights(const Dense& weights, bool two_planes, uint32_t start,
                                         uint32_t count) {
  const std::vector<uint32_t> strides = weight_strides(weights);
  const Shape shape = weights.shape();
  if (shape[2] != shape[3]) throw std::runtime_error("CNP: width and height must be equal.");
  const uint32_t kernel = shape[3], channels = shape[1];
  if (kernel != 1 && kernel != 3 && kernel != 5 && kernel != 7)
    throw std::runtime_error("Unsupported kernel size");
  two_planes = two_planes || kernel == 1;
  const uint32_t per_slot = kernel == 1 ? 48 : kernel == 3 ? 5 : kernel == 5 ? 2 : 1;
  const uint32_t f8 = round_up(count, 8);
  const uint32_t slots = round_up(ceil_div(two_planes ? 2 * f8 : f8, per_slot), 8);
  const uint32_t used = kernel == 1 ? 48 : 50;
  const uint32_t padding = kernel == 3 || kernel == 7 ? 1 : 0;
  const uint32_t run = kernel * kernel;
  const StridedView<int8_t> at(weights, strides,
                               {index_extent(start, count), channels, kernel, kernel});
  std::vector<uint32_t> words(size_t{channels} * slots * 2, 0);
  for (uint32_t c = 0; c < channels; ++c) {
    const size_t base = size_t{c} * slots * 2;
    uint32_t position = 0;  // bits written, padding included; runs never straddle slots
    for (uint32_t f = 0; f < count; ++f) {
      // Bit y * kernel + x of each run: the positive plane, then the negative one.
      uint64_t positive = 0, negative = 0;
      for (uint32_t y = 0; y < kernel; ++y)
        for (uint32_t x = 0; x < kernel; ++x) {
          const int8_t v = at(start + f, c, y, x);
          positive |= uint64_t{v == 1} << (y * kernel + x);
          negative |= uint64_t{v == -1} << (y * kernel + x);
        }
      or_slot_bits(words, base + 2 * size_t{position / used}, position % used, positive);
      position += run + padding;
      if (!two_planes) continue;
      or_slot_bits(words, base + 2 * size_t{position / used}, position % used, negative);
      position += run + padding;
    }
  }
  return words;
}

std::vector<uint32_t> format_depthwise_weights(const Dense& weights, int weights_bits) {
  const std::vector<uint32_t> strides = weight_strides(weights);
  const Shape shape = weights.shape();
  const uint32_t channels = shape[1], kernel = shape[3];
  const auto bits = static_cast<uint32_t>(weights_bits);
  const StridedView<int8_t> at(weights, strides, {1, channels, kernel, kernel});
  std::vector<uint32_t> words(size_t{2} * depthwise_slots(kernel, channels, weights_bits), 0);
  size_t slot = 0;
  uint32_t cursor = 0;
  for (uint32_t c = 0; c < channels; ++c) {
    for (uint32_t y = 0; y < kernel; ++y) {
      if (cursor + kernel * bits > 50) ++slot, cursor = 0;
      for (uint32_t x = 0; x < kernel; ++x) {
        or_slot_bits(words, 2 * slot, cursor, separable_code(at(0, c, y, x), weights_bits));
        cursor += bits;
      }
    }
    if (cursor + kernel * kernel * bits > 50) ++slot, cursor = 0;
  }
  return words;
}

std::vector<uint32_t> format_pointwise_weights(const Dense& weights, int weights_bits,
                                               uint32_t start, uint32_t count) {
  const Shape shape = weights.shape();
  const uint32_t row_length = shape[0], rows = shape.size() > 1 ? shape[1] : 1;
  if (uint64_t{start} + count > row_length)
    throw std::invalid_argument("Pointwise filters " + std::to_string(start) + " to " +
                                std::to_string(uint64_t{start} + count) + " exceed the " +
                                std::to_string(row_length) + " filters of the layer.");
  const auto bits = static_cast<uint32_t>(weights_bits);
  const uint32_t groups = pointwise_groups(count, weights_bits);
  // Filter j of row r at row_length * r + start + j.
  const int8_t* data = checked_elements<int8_t>(
      weights, count == 0 || rows == 0 ? 0 : size_t{row_length} * (rows - 1) + start + count);
  std::vector<uint32_t> words(size_t{rows} * groups * 2, 0);
  for (uint32_t r = 0; r < rows; ++r) {
    size_t slot = size_t{r} * groups;
    uint32_t cursor = 0;
    const int8_t* row = data + size_t{row_length} * r + start;
    for (uint32_t j = 0; j < count; ++j) {
      or_slot_bits(words, 2 * slot, cursor, separable_code(row[j], weights_bits));
      if (cursor + 2 * bits <= 48)
        cursor += bits;
      else
        ++slot, cursor = 0;
    }
  }
  return words;
}

}  // namespace morla::v1
