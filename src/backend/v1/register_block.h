#pragma once
// The 50-word register block of an IP v1 NP, written field by field.
#include <cstddef>
#include <cstdint>
#include <vector>

namespace morla::v1 {

using RegisterBlock = std::vector<uint32_t>;

inline constexpr size_t kNpRegisterWords = 50;

// A new block: all zero but its five default fields.
RegisterBlock init_np_registers();

// Writes `value` into bits shift .. shift + width - 1 of `words[word]`; a value wider than
// the field is refused (set_register_field).
void set_field(std::vector<uint32_t>& words, size_t word, uint32_t shift, uint32_t width,
               uint32_t value);
// Reads bits shift .. shift + width - 1 of `words[word]`.
uint32_t get_field(const std::vector<uint32_t>& words, size_t word, uint32_t shift,
                   uint32_t width);

}  // namespace morla::v1
