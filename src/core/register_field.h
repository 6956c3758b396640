#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

namespace morla {

// A bit field of a 32-bit register word: least significant bit and width.
struct RegisterField {
  uint32_t shift;
  uint32_t width;
};

// A bit field of a register block: the index of its word, then its least significant bit and
// width in that word. Each register block names its fields once as constants of this type.
struct BlockField {
  size_t word;
  uint32_t shift;
  uint32_t width;
};

// `field` moved `words` words further into its block (a field of a repeated record).
constexpr BlockField offset_field(const BlockField& field, size_t words) {
  return {field.word + words, field.shift, field.width};
}

// Writes `value` into `field` of `*word`, leaving the other bits. A value wider than the field
// is refused through panic and the word is left untouched.
void set_register_field(uint32_t* word, const RegisterField* field, uint32_t value);
// The same for a field of a block: a word index past the block throws std::out_of_range.
void set_register_field(std::vector<uint32_t>& block, const BlockField& field, uint32_t value);
// Writes the one-hot mask of `index` (the value 2^index) into `field` of `*word`, refused like
// any value wider than the field, also for an index past bit 31.
void set_one_hot_field(uint32_t* word, const RegisterField& field, uint32_t index);
// The same for a field of a block.
void set_one_hot_field(std::vector<uint32_t>& block, const BlockField& field, uint32_t index);
// The value held by `field` of `block`; a word index past the block throws std::out_of_range.
uint32_t register_field(const std::vector<uint32_t>& block, const BlockField& field);

}  // namespace morla
