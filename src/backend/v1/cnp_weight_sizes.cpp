#include "backend/v1/cnp_weight_sizes.h"

#include <stdexcept>

#include "backend/v1/layer_access.h"
#include "engine_api/v1_layers.h"
#include "contract/hardware_description.h"
#include "contract/program_record.h"

namespace morla::v1 {

namespace {

uint32_t ceil_div(uint32_t a, uint32_t b) { return (a + b - 1) / b; }
uint32_t round_up(uint32_t a, uint32_t multiple) { return ceil_div(a, multiple) * multiple; }

[[noreturn]] void unsupported_kernel() { throw std::runtime_error("Unsupported kernel size"); }

// Values of 1- and 2-bit standard weights per slot, by kernel size.
uint32_t values_per_slot(uint32_t kernel) {
  switch (kernel) {
    case 1: return 48;
    case 3: return 5;
    case 5: return 2;
    case 7: return 1;
    default: unsupported_kernel();
  }
}

// 4-bit standard weights: 48-bit groups per input channel.
uint32_t four_bit_groups(uint32_t kernel, uint32_t filters) {
  const uint32_t f8 = round_up(filters, 8);
  switch (kernel) {
    case 1: return (4 * filters + 47) / 48;
    case 3: return f8 * 6 / 8;
    case 5: return f8 * 16 / 8;
    case 7: return f8 * 42 / 8;
    default: unsupported_kernel();
  }
}

}  // namespace

uint32_t packed_bytes(uint32_t count, uint32_t bits) { return (count * bits + 7) / 8; }

uint32_t packed_words(uint32_t line_bytes, uint32_t lines, uint32_t planes) {
  return ((line_bytes * lines * 8 + 31) / 32) * planes;
}

uint32_t cnp_filter_words(uint32_t kernel, uint32_t channels, uint32_t filters, int weights_bits) {
  const uint32_t f8 = round_up(filters, 8);
  switch (weights_bits) {
    case 4: return channels * round_up(four_bit_groups(kernel, filters), 16) * 2;
    case 2: return channels * 16 * ceil_div(ceil_div(2 * f8, values_per_slot(kernel)), 8);
    case 1: {
      const uint32_t slots =
          kernel == 1 ? ceil_div(2 * f8, 48) : ceil_div(f8, values_per_slot(kernel));
      return channels * 16 * ceil_div(slots, 8);
    }
    default: return 0xFFFFFFFF;
  }
}

uint32_t depthwise_slots(uint32_t kernel, uint32_t channels, int weights_bits) {
  const uint32_t row_bits = static_cast<uint32_t>(weights_bits) * kernel;
  if (weights_bits < 1 || kernel == 0 || row_bits > 50) unsupported_kernel();
  const uint32_t rows_per_slot = 50 / row_bits;
  if (rows_per_slot >= 2 * kernel) return ceil_div(channels, rows_per_slot / kernel);
  return ceil_div(kernel, rows_per_slot) * channels;
}

uint32_t depthwise_weight_words(uint32_t kernel, uint32_t channels, int weights_bits) {
  return (2 * depthwise_slots(kernel, channels, weights_bits) + 15) & ~15u;
}

uint32_t pointwise_groups(uint32_t filters, int weights_bits) {
  const uint32_t bits = static_cast<uint32_t>(weights_bits) * filters;
  uint32_t groups = ceil_div(bits, 48);
  const uint32_t free_bits = bits % 48 == 0 ? 0 : 48 - bits % 48;
  if (filters % 8 != 0 && free_bits < 48 - (filters % 8) * static_cast<uint32_t>(weights_bits))
    ++groups;
  return groups;
}

uint32_t separable_weight_words(uint32_t kernel, uint32_t channels, uint32_t filters,
                                int weights_bits) {
  return depthwise_weight_words(kernel, channels, weights_bits) +
         channels * pointwise_groups(filters, weights_bits) * 2;
}

uint32_t cnp_weight_size(const Layer& layer, uint32_t filters) {
  const bool separable = dynamic_cast<const SeparableConvolutional*>(&layer) != nullptr;
  if (!separable && !dynamic_cast<const Convolutional*>(&layer))
    throw std::invalid_argument("Unexpected layer type for CNP");
  const uint32_t channels = input_shape(layer)[2];
  const auto kernel = static_cast<uint32_t>(param(layer, "kernel_width"));
  const int bits = param(layer, "weights_bits");
  const uint32_t words = separable ? separable_weight_words(kernel, channels, filters, bits)
                                   : cnp_filter_words(kernel, channels, filters, bits);
  // The "no such width" answer stays as it is rather than wrap to 0 when rounded.
  if (words > 0xFFFFFFF0u || !program::is_long_np_block(words)) return words;
  return round_up(words, 16);
}

bool fits_cnp_weights(const HardwareDescription& description, const Layer& layer,
                      uint32_t filters) {
  const uint32_t words = cnp_weight_size(layer, filters);
  if (dynamic_cast<const Convolutional*>(&layer)) {
    const uint32_t channels = input_shape(layer)[2];
    if (words / channels >= 4096) return false;
  }
  return words / 2 <= description[HardwareDescription::weight_capacity];
}

}  // namespace morla::v1
