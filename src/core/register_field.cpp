#include "core/register_field.h"

#include <string>

#include "core/platform.h"

namespace morla {

void set_register_field(uint32_t* word, const RegisterField* field, uint32_t value) {
  const uint32_t mask = field->width >= 32 ? 0xFFFFFFFFu : ((1u << field->width) - 1u);
  if (value > mask) {
    const std::string text = "Attempted to write value " + std::to_string(value) + " into a " +
                             std::to_string(field->width) +
                             "-bit field, which will cause an overflow.";
    panic("%s", text.c_str());
  }
  const uint32_t shift = field->shift & 31u;
  *word = (*word & ~(mask << shift)) | ((value & mask) << shift);
}

}  // namespace morla
