#include "core/register_field.h"

#include <string>

#include "core/platform.h"

namespace morla {

namespace {

uint32_t mask_of(uint32_t width) { return width >= 32 ? 0xFFFFFFFFu : ((1u << width) - 1u); }

}  // namespace

void set_register_field(uint32_t* word, const RegisterField* field, uint32_t value) {
  const uint32_t mask = mask_of(field->width);
  if (value > mask) {
    const std::string text = "Attempted to write value " + std::to_string(value) + " into a " +
                             std::to_string(field->width) +
                             "-bit field, which will cause an overflow.";
    panic("%s", text.c_str());
  }
  const uint32_t shift = field->shift & 31u;
  *word = (*word & ~(mask << shift)) | ((value & mask) << shift);
}

void set_register_field(std::vector<uint32_t>& block, const BlockField& field, uint32_t value) {
  const RegisterField in_word{field.shift, field.width};
  set_register_field(&block.at(field.word), &in_word, value);
}

void set_one_hot_field(uint32_t* word, const RegisterField& field, uint32_t index) {
  // 2^index has no 32-bit form from bit 32 on; no field holds it.
  if (index >= 32)
    panic("Attempted to write value 2^%u into a %u-bit field, which will cause an overflow.", index,
          field.width);
  set_register_field(word, &field, 1u << index);
}

void set_one_hot_field(std::vector<uint32_t>& block, const BlockField& field, uint32_t index) {
  set_one_hot_field(&block.at(field.word), RegisterField{field.shift, field.width}, index);
}

uint32_t register_field(const std::vector<uint32_t>& block, const BlockField& field) {
  return (block.at(field.word) >> (field.shift & 31u)) & mask_of(field.width);
}

}  // namespace morla
