#include "backend/v2/np_registers.h"

#include <algorithm>
#include <stdexcept>

#include "core/register_field.h"

namespace morla::v2 {

void set_bits(std::vector<uint32_t>& words, size_t word, uint32_t low, uint32_t high,
              uint32_t value) {
  const RegisterField field{low, high - low + 1};
  set_register_field(&words.at(word), &field, value);
}

NpRegisters init_np_registers(const hw::Component& np, uint32_t pass_byte, bool registers_only,
                              uint8_t merge_kind) {
  NpRegisters block(kNpRegisterWords, 0);
  const bool high_id = np.ident.id >= 2;
  set_bits(block, 2, 3, 3, 1);
  set_bits(block, 5, 8, 13, 1);
  set_bits(block, 5, 16, 23, 19);
  set_bits(block, 3, 24, 31, registers_only ? 254 : pass_byte);
  set_bits(block, 6, 16, 20, 4);
  set_bits(block, 6, 24, 28, 8);
  set_bits(block, 12, 24, 31, 82);
  set_bits(block, 13, 0, 15, 16);
  set_bits(block, 37, 24, 31, 255);
  set_bits(block, 56, 0, 8, 8u * merge_kind + (high_id ? 256 : 0));
  set_bits(block, 56, 16, 24, high_id ? 384 : 128);
  set_bits(block, 57, 0, 7, 64);
  set_bits(block, 57, 31, 31, 0);
  set_bits(block, 59, 0, 0, 0);
  set_bits(block, 1, 5, 6, 1);
  return block;
}

void record_np_ident(NpRegisters& block, const hw::Ident& ident) {
  set_bits(block, 49, 16, 19, 1u << ident.id);
  set_bits(block, 49, 0, 7, ident.row);
  set_bits(block, 49, 8, 15, ident.col);
}

void set_np_flag(NpRegisters& block) { set_bits(block, 2, 7, 7, 1); }

std::pair<uint8_t, uint8_t> column_span(const std::vector<hw::Component>& components) {
  if (components.empty()) throw std::out_of_range("invalid vector subscript");
  if (components.size() == 1 && components.front().type == hw::Type::HRC) return {1, 1};
  const auto [low, high] = std::minmax_element(
      components.begin(), components.end(),
      [](const hw::Component& a, const hw::Component& b) { return a.ident.col < b.ident.col; });
  return {low->ident.col, high->ident.col};
}

}  // namespace morla::v2
