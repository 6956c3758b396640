#pragma once
// The 19 limit words of one IP generation's back end, computed from a device's mesh.
#include <array>
#include <cstddef>
#include <cstdint>

namespace morla {

struct Mesh;

struct HardwareDescription {
  enum Word : uint32_t {
    weight_units = 0,
    weight_capacity = 1,
    max_width = 2,
    max_height = 3,
    max_channels = 4,
    max_filters = 5,
    limit_6 = 6,
    limit_7 = 7,
    limit_8 = 8,
    limit_9 = 9,
    limit_10 = 10,
    dual_buffer_words = 11,
    single_buffer_words = 12,
    fnp_input_words = 13,
    input_shift_bytes = 14,
    stsram_32b_words = 15,
    fsram_64b_words = 16,
    tsram_51b_words = 17,
    evsram_32b_words = 18,
  };
  static constexpr size_t kWords = 19;

  std::array<uint32_t, kWords> words{};

  uint32_t operator[](Word word) const { return words[word]; }
  uint32_t& operator[](Word word) { return words[word]; }
  bool operator==(const HardwareDescription& other) const = default;
};

// The description for a device of `product_id` with `mesh`. Throws std::runtime_error
// "Unsupported IP version in IpVersionSpecificHardwareBackend." for an unknown product.
HardwareDescription describe_hardware(uint8_t product_id, const Mesh& mesh);

}  // namespace morla
