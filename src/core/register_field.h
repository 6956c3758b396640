#pragma once
#include <cstdint>

namespace morla {

// A bit field of a 32-bit register word: least significant bit and width.
struct RegisterField {
  uint32_t shift;
  uint32_t width;
};

// Writes `value` into `field` of `*word`, leaving the other bits. A value wider
// than the field is refused through panic and the word is left untouched.
void set_register_field(uint32_t* word, const RegisterField* field, uint32_t value);

}  // namespace morla
