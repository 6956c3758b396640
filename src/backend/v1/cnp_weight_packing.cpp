#include "backend/v1/cnp_weight_packing.h"

#include <cstdlib>
#include <stdexcept>

#include "backend/v1/cnp_weight_sizes.h"
#include "backend/v1/field_fit.h"

namespace morla::v1 {

namespace {

uint32_t ceil_div(uint32_t a, uint32_t b) { return (a + b - 1) / b; }
uint32_t round_up(uint32_t a, uint32_t multiple) { return ceil_div(a, multiple) * multiple; }

// Sets bit `bit` of slot `slot` of the slots starting at word `base`.
void set_slot_bit(std::vector<uint32_t>& words, size_t base, size_t slot, uint32_t bit) {
  words.at(base + 2 * slot + bit / 32) |= 1u << (bit % 32);
}

// Writes `count` bits of `code`, lowest first, from bit `bit` of slot `slot`.
void put_code(std::vector<uint32_t>& words, size_t base, size_t slot, uint32_t bit, uint32_t code,
              uint32_t count) {
  for (uint32_t i = 0; i < count; ++i)
    if (code >> i & 1u) set_slot_bit(words, base, slot, bit + i);
}

// A write position that moves one bit at a time over slots of `used` bits.
struct SlotCursor {
  std::vector<uint32_t>& words;
  size_t base;
  uint32_t used;
  size_t slot = 0;
  uint32_t bit = 0;

  void put(uint32_t code, uint32_t count) {
    for (uint32_t i = 0; i < count; ++i) {
      if (code >> i & 1u) set_slot_bit(words, base, slot, bit);
      if (++bit == used) next_slot();
    }
  }
  void next_slot() {
    ++slot;
    bit = 0;
  }
  void align() {
    if (bit != 0) next_slot();
  }
};

// Element offset of (filter, channel, row, column) of a four-dimension weight tensor.
struct WeightIndex {
  std::vector<uint32_t> strides;
  size_t operator()(uint32_t f, uint32_t c, uint32_t y, uint32_t x) const {
    return size_t{f} * strides[0] + size_t{c} * strides[1] + size_t{y} * strides[2] +
           size_t{x} * strides[3];
  }
};

WeightIndex weight_index(const Dense& weights) {
  if (weights.shape().size() != 4)
    throw std::invalid_argument("CNP weights must have four dimensions.");
  return {weights.strides()};
}

int8_t value_at(const Dense& weights, const int8_t* data, size_t offset) {
  check_tensor_index(weights, offset);
  return data[offset];
}

uint32_t four_bit_magnitude_code(int value) {
  return static_cast<uint32_t>(std::abs(value) % 8) | (value > 0 ? 8u : 0u);
}

uint32_t separable_code(int value, int weights_bits) {
  return weights_bits == 4 ? signed_code4(value) : signed_code2(value);
}

}  // namespace

uint32_t signed_code4(int value) { return fit_signed(value, 4); }
uint32_t signed_code2(int value) { return fit_signed(value, 2); }

std::vector<uint32_t> pack_cnp_weights(const Dense& weights, uint32_t start, uint32_t count) {
  const WeightIndex at = weight_index(weights);
  const Shape shape = weights.shape();
  const uint32_t kernel = shape[3], channels = shape[1];
  if (kernel != 1 && kernel != 3 && kernel != 5 && kernel != 7)
    throw std::runtime_error("Unsupported kernel size");
  const int8_t* data = weights.data<int8_t>();
  const uint32_t row_words = cnp_filter_words(kernel, 1, count, 4);
  std::vector<uint32_t> words(size_t{channels} * row_words, 0);
  for (uint32_t c = 0; c < channels; ++c) {
    const size_t base = size_t{c} * row_words;
    if (kernel == 1) {
      const size_t first = at(start, c, 0, 0);
      for (uint32_t j = 0; j < count; ++j)
        put_code(words, base, j / 12, (j % 12) * 4,
                 four_bit_magnitude_code(value_at(weights, data, first + j)), 4);
      continue;
    }
    const uint32_t block_words = kernel == 3 ? 12 : kernel == 5 ? 32 : 84;
    for (uint32_t block = 0; block * 8 < count; ++block) {
      SlotCursor cursor{words, base + size_t{block} * block_words, kernel == 3 ? 48u : 50u};
      for (uint32_t y = 0; y < kernel; ++y) {
        uint32_t rows_since_step = 0;
        for (uint32_t i = 0; i < 8; ++i) {
          const uint32_t f = block * 8 + i;
          for (uint32_t x = 0; x < kernel; ++x) {
            const int v = f < count ? value_at(weights, data, at(start + f, c, y, x)) : 0;
            cursor.put(four_bit_magnitude_code(v), 4);
          }
          // A 7x7 row holds three filter rows per pair of slots at most.
          if (kernel == 7 && ++rows_since_step >= 3 && cursor.bit != 0) {
            cursor.next_slot();
            rows_since_step = 0;
          }
        }
        // Only a 7x7 kernel row starts on a fresh slot: 3x3 rows fill whole slots, and 5x5
        // rows run on (a block of 8 filters is 800 bits, 16 slots exactly).
        if (kernel == 7) cursor.align();
      }
    }
  }
  return words;
}

std::vector<uint32_t> format_cnp_weights(const Dense& weights, bool two_planes, uint32_t start,
                                         uint32_t count) {
  const WeightIndex at = weight_index(weights);
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
  const int8_t* data = weights.data<int8_t>();
  std::vector<uint32_t> words(size_t{channels} * slots * 2, 0);
  for (uint32_t c = 0; c < channels; ++c) {
    const size_t base = size_t{c} * slots * 2;
    uint32_t position = 0;  // bits written, padding included; runs never straddle slots
    auto write_run = [&](uint32_t f, int wanted) {
      for (uint32_t y = 0; y < kernel; ++y)
        for (uint32_t x = 0; x < kernel; ++x)
          if (value_at(weights, data, at(start + f, c, y, x)) == wanted)
            set_slot_bit(words, base, position / used, position % used + y * kernel + x);
      position += run + padding;
    };
    for (uint32_t f = 0; f < count; ++f) {
      write_run(f, 1);
      if (two_planes) write_run(f, -1);
    }
  }
  return words;
}

std::vector<uint32_t> format_depthwise_weights(const Dense& weights, int weights_bits) {
  const WeightIndex at = weight_index(weights);
  const Shape shape = weights.shape();
  const uint32_t channels = shape[1], kernel = shape[3];
  const auto bits = static_cast<uint32_t>(weights_bits);
  const int8_t* data = weights.data<int8_t>();
  std::vector<uint32_t> words(size_t{2} * depthwise_slots(kernel, channels, weights_bits), 0);
  size_t slot = 0;
  uint32_t cursor = 0;
  for (uint32_t c = 0; c < channels; ++c) {
    for (uint32_t y = 0; y < kernel; ++y) {
      if (cursor + kernel * bits > 50) ++slot, cursor = 0;
      for (uint32_t x = 0; x < kernel; ++x) {
        put_code(words, 0, slot, cursor,
                 separable_code(value_at(weights, data, at(0, c, y, x)), weights_bits), bits);
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
  const int8_t* data = weights.data<int8_t>();
  std::vector<uint32_t> words(size_t{rows} * groups * 2, 0);
  for (uint32_t r = 0; r < rows; ++r) {
    size_t slot = size_t{r} * groups;
    uint32_t cursor = 0;
    for (uint32_t j = 0; j < count; ++j) {
      const size_t offset = size_t{row_length} * r + start + j;
      put_code(words, 0, slot, cursor,
               separable_code(value_at(weights, data, offset), weights_bits), bits);
      if (cursor + 2 * bits <= 48) cursor += bits;
      else ++slot, cursor = 0;
    }
  }
  return words;
}

}  // namespace morla::v1
