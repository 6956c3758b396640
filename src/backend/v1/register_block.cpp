#include "backend/v1/register_block.h"

#include "core/register_field.h"

namespace morla::v1 {

RegisterBlock init_np_registers() {
  RegisterBlock block(kNpRegisterWords, 0);
  set_field(block, 6, 16, 5, 4);
  set_field(block, 6, 24, 5, 4);
  set_field(block, 12, 24, 8, 82);
  set_field(block, 13, 0, 16, 16);
  set_field(block, 37, 24, 8, 255);
  return block;
}

void set_field(std::vector<uint32_t>& words, size_t word, uint32_t shift, uint32_t width,
               uint32_t value) {
  const RegisterField field{shift, width};
  set_register_field(&words.at(word), &field, value);
}

uint32_t get_field(const std::vector<uint32_t>& words, size_t word, uint32_t shift,
                   uint32_t width) {
  const uint32_t mask = width >= 32 ? 0xFFFFFFFFu : (1u << width) - 1u;
  return (words.at(word) >> shift) & mask;
}

}  // namespace morla::v1
