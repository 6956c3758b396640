#include "backend/v2/cnp_weight_layout.h"

#include <algorithm>
#include <stdexcept>

#include "backend/v2/weight_reader.h"
#include "contract/field_checks.h"
#include "contract/program_record.h"
#include "contract/slot_bits.h"

namespace morla::v2 {

namespace {

uint32_t ceil_div(uint32_t a, uint32_t b) { return (a + b - 1) / b; }
uint32_t round_up(uint32_t a, uint32_t m) { return ceil_div(a, m) * m; }

// Weight images of 16383 words or more go into long blocks, which are 16-word granular.
size_t padded_image_words(size_t words) {
  return program::is_long_np_block(words) ? round_up(static_cast<uint32_t>(words), 16) : words;
}

struct StandardLayout {
  uint32_t group;        // filters per group
  uint32_t group_words;  // words between groups
  uint32_t row_bytes;    // bytes between kernel rows
  uint32_t gap;          // bytes skipped after each filter's row
};

StandardLayout standard_layout(uint32_t k) {
  switch (k) {
    case 1: return {24, 6, 0, 0};
    case 3: return {8, 18, 24, 0};
    case 4: return {8, 36, 36, 0};
    case 5: return {8, 60, 48, 1};
    case 7: return {8, 224, 128, 9};
    default: throw std::runtime_error("cnp_weight_format: Unexpected kernel size.");
  }
}

std::vector<uint32_t> format_cnp_weights_8bit(const WeightReader& w, uint32_t first,
                                              uint32_t count) {
  const uint32_t k = w.dim(0);
  const StandardLayout layout = standard_layout(k);
  const bool split_last = cnp_weight_format(k, 8) == 0;
  const size_t channel_words = size_t{k == 7 ? 4u : 3u} * ch_cont_size(k, count, 8);
  const uint32_t channels = w.dim(2);
  const StridedView<int8_t> at = w.view({k, k, channels, index_extent(first, count)});
  std::vector<uint32_t> image(padded_image_words(channel_words * channels), 0);
  // Every byte of the zero-filled image is written once at most: stored, not OR-ed.
  uint8_t* bytes = image_bytes(image);
  const size_t x_stride = at.stride(0), f_stride = at.stride(3);
  for (uint32_t i = 0; i < channels; ++i) {
    for (uint32_t g = 0; g * layout.group < count; ++g) {
      const size_t group_byte = (i * channel_words + size_t{g} * layout.group_words) * 4;
      const uint32_t in_group = std::min(layout.group, count - g * layout.group);
      for (uint32_t y = 0; y < k; ++y) {
        uint8_t* out = bytes + group_byte + size_t{y} * layout.row_bytes;
        const int8_t* row = at.element(0, y, i, first + g * layout.group);
        if (k == 1) {
          // Filters side by side: a plain copy when they are so in the tensor too.
          if (f_stride == 1)
            for (uint32_t j = 0; j < in_group; ++j) out[j] = static_cast<uint8_t>(row[j]);
          else
            for (uint32_t j = 0; j < in_group; ++j)
              out[j] = static_cast<uint8_t>(row[j * f_stride]);
          continue;
        }
        for (uint32_t j = 0; j < in_group; ++j, out += k + layout.gap) {
          const int8_t* filter = row + j * f_stride;
          if (split_last) {
            // Kernel 7: weights 0-5 whole, weight 6 split over bytes 6 and 8.
            for (uint32_t x = 0; x < 6; ++x) out[x] = static_cast<uint8_t>(filter[x * x_stride]);
            const auto last = static_cast<uint8_t>(filter[6 * x_stride]);
            out[6] = last & 0x03;
            out[8] = last >> 2;
          } else {
            for (uint32_t x = 0; x < k; ++x) out[x] = static_cast<uint8_t>(filter[x * x_stride]);
          }
        }
        // Missing filters of a short last group stay zero.
      }
    }
  }
  return image;
}

std::vector<uint32_t> format_cnp_weights_4bit(const WeightReader& w, uint32_t first,
                                              uint32_t count) {
  const uint32_t k = w.dim(0);
  const uint32_t containers = ch_cont_size(k, count, 4);  // refuses kernel 4 and others
  const uint32_t lane_bits = k <= 3 ? 48 : 50;
  const size_t channel_words = size_t{4} * containers;
  const uint32_t channels = w.dim(2);
  const StridedView<int8_t> at = w.view({k, k, channels, index_extent(first, count)});
  std::vector<uint32_t> image(channel_words * channels, 0);
  for (uint32_t i = 0; i < channels; ++i) {
    const size_t base = i * channel_words;
    if (k == 1) {
      // Twelve weights fill a 48-bit lane.
      SlotCursor lanes(image, base, lane_bits);
      for (uint32_t j = 0; j < count; ++j)
        lanes.put(static_cast<uint8_t>(at(0, 0, i, first + j)) & 0xF, 4);
      lanes.finish();
      continue;
    }
    const uint32_t group_words = k == 3 ? 12 : k == 5 ? 32 : 84;
    for (uint32_t g = 0; g * 8 < count; ++g) {
      SlotCursor lanes(image, base + size_t{g} * group_words, lane_bits);
      for (uint32_t y = 0; y < k; ++y) {
        for (uint32_t j = 0; j < 8; ++j) {
          const uint32_t n = g * 8 + j;
          for (uint32_t x = 0; x < k; ++x)
            lanes.put(n < count ? static_cast<uint8_t>(at(x, y, i, first + n)) & 0xF : 0, 4);
          if (k == 7 && j % 3 == 2) lanes.align();
        }
        if (k == 7) lanes.align();
      }
      lanes.finish();
    }
  }
  return image;
}

struct DepthwiseLayout {
  uint32_t channel_bytes;  // S
  uint32_t skip_after;     // P
  uint32_t skip;           // X
  uint32_t row_skip;       // R
};

std::vector<uint32_t> format_depthwise_weights_8bit(const WeightReader& w, uint32_t first,
                                                    uint32_t count) {
  const uint32_t k = w.dim(0);
  DepthwiseLayout layout{};
  switch (k) {
    case 3: layout = {12, 2, 0, 0}; break;
    case 4: layout = {24, 3, 0, 2}; break;
    case 5: layout = {30, 4, 0, 1}; break;
    case 7: layout = {84, 3, 2, 3}; break;
    default: throw std::runtime_error("cnp_weight_format: Unexpected kernel size.");
  }
  std::vector<uint32_t> image(padded_image_words(size_t{3} * depthwise_ch_cont_size(k, count, 8)),
                              0);
  const StridedView<int8_t> at = w.view({k, k, 1, index_extent(first, count)});
  for (uint32_t i = 0; i < count; ++i) {
    size_t p = size_t{i} * layout.channel_bytes;
    for (uint32_t y = 0; y < k; ++y) {
      for (uint32_t x = 0; x < k; ++x) {
        put_byte(image, p, static_cast<uint8_t>(at(x, y, 0, first + i)));
        p += 1 + (x == layout.skip_after ? layout.skip : 0);
      }
      p += layout.row_skip;
    }
  }
  return image;
}

std::vector<uint32_t> format_depthwise_weights_4bit(const WeightReader& w, uint32_t first,
                                                    uint32_t count) {
  const uint32_t k = w.dim(0);
  if (k != 3 && k != 5 && k != 7) throw std::runtime_error("Invalid kernel size.");
  constexpr uint32_t kLaneBits = 51;
  const size_t words = size_t{count} * (k == 3 ? 2 : k == 5 ? 6 : 14);
  std::vector<uint32_t> image(words, 0);
  const StridedView<int8_t> at = w.view({k, k, 1, index_extent(first, count)});
  size_t lane = 0;
  uint32_t p = 0;
  for (uint32_t i = 0; i < count; ++i) {
    for (uint32_t y = 0; y < k; ++y) {
      if (p + 4 * k > kLaneBits) {
        ++lane;
        p = 0;
      }
      for (uint32_t x = 0; x < k; ++x, p += 4) {
        const uint32_t nibble = signed_field(at(x, y, 0, first + i), 4);
        image[2 * lane + (p >= 32 ? 1 : 0)] |= nibble << (p % 32);
      }
    }
    if (p + 4 * k * k > kLaneBits) {
      ++lane;
      p = 0;
    }
  }
  return image;
}

}  // namespace

uint32_t weight_container_bytes(uint32_t containers) { return (containers * 100 + 7) >> 3; }

uint32_t cnp_weight_format(uint32_t kernel_size, uint32_t bits) {
  if (bits != 8) return 0;
  switch (kernel_size) {
    case 1:
    case 3:
    case 4:
    case 5: return 1;
    case 7: return 0;
    default: throw std::runtime_error("cnp_weight_format: Unexpected kernel size.");
  }
}

uint32_t depthwise_weight_format(uint32_t kernel_size, uint32_t bits) {
  if (bits != 8) return 0;
  switch (kernel_size) {
    case 3:
    case 4:
    case 5:
    case 7: return 1;
    default: throw std::runtime_error("cnp_weight_format: Unexpected kernel size.");
  }
}

uint32_t ch_cont_size(uint32_t kernel_size, uint32_t filters, uint32_t bits) {
  const uint32_t c8 = round_up(filters, 8);
  if (bits == 8) {
    switch (kernel_size) {
      case 1: return 2 * ceil_div(c8, 24);
      case 3: return 3 * c8 / 4;
      case 4: return 3 * c8 / 2;
      case 5: return 5 * c8 / 2;
      case 7: return 7 * c8;
      default: throw std::runtime_error("ch_cont_size: Unexpected kernel size.");
    }
  }
  switch (kernel_size) {
    case 1: return ceil_div(filters, 24);
    case 3: return 3 * ceil_div(filters, 8);
    case 5: return c8;
    case 7: return 21 * ceil_div(filters, 8);
    default: throw std::runtime_error("Unsupported kernel size.");
  }
}

uint32_t depthwise_ch_cont_size(uint32_t kernel_size, uint32_t channels, uint32_t bits) {
  if (bits == 8) {
    switch (kernel_size) {
      case 3: return channels;
      case 4: return 2 * channels;
      case 5: return 3 * channels;
      case 7: return 7 * channels;
      default: throw std::runtime_error("ch_cont_size: Unexpected kernel size.");
    }
  }
  switch (kernel_size) {
    case 3: return (channels + 1) >> 1;
    case 5: return (3 * channels + 1) >> 1;
    case 7: return (7 * channels + 1) >> 1;
    default: throw std::runtime_error("Invalid kernel size.");
  }
}

std::vector<uint32_t> format_cnp_weights(const Dense& weights, uint32_t first, uint32_t count,
                                         uint32_t bits) {
  const WeightReader reader(weights);
  return bits == 8 ? format_cnp_weights_8bit(reader, first, count)
                   : format_cnp_weights_4bit(reader, first, count);
}

std::vector<uint32_t> format_depthwise_weights(const Dense& weights, uint32_t first, uint32_t count,
                                               uint32_t bits) {
  const WeightReader reader(weights);
  return bits == 8 ? format_depthwise_weights_8bit(reader, first, count)
                   : format_depthwise_weights_4bit(reader, first, count);
}

}  // namespace morla::v2
