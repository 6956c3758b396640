#include "backend/v2/np_registers.h"

#include <algorithm>
#include <stdexcept>

#include "backend/v2/np_fields.h"

namespace morla::v2 {

NpRegisters init_np_registers(const hw::Component& np, uint32_t pass_byte, bool registers_only,
                              uint8_t merge_kind) {
  NpRegisters block(kNpRegisterWords, 0);
  const bool high_id = np.ident.id >= 2;
  set_register_field(block, reg::kWord2Bit3, 1);
  set_register_field(block, reg::kWord5Bits8To13, 1);
  set_register_field(block, reg::kWord5Bits16To23, 19);
  set_register_field(block, reg::kPassByte, registers_only ? 254 : pass_byte);
  set_register_field(block, reg::kWord6Bits16To20, 4);
  set_register_field(block, reg::kWord6Bits24To28, 8);
  set_register_field(block, reg::kWord12Bits24To31, 82);
  set_register_field(block, reg::kWord13Bits0To15, 16);
  set_register_field(block, reg::kWord37Bits24To31, 255);
  set_register_field(block, reg::kMergeKindWord, 8u * merge_kind + (high_id ? 256 : 0));
  set_register_field(block, reg::kFrameBlocks, high_id ? 384 : 128);
  set_register_field(block, reg::kWord57Bits0To7, 64);
  set_register_field(block, reg::kWord57Bit31, 0);
  set_register_field(block, reg::kWord59Bit0, 0);
  set_register_field(block, reg::kWord1Bits5To6, 1);
  return block;
}

void record_np_ident(NpRegisters& block, const hw::Ident& ident) {
  set_one_hot_field(block, reg::kIdentIdMask, ident.id);
  set_register_field(block, reg::kIdentRow, ident.row);
  set_register_field(block, reg::kIdentCol, ident.col);
}

void set_np_flag(NpRegisters& block) { set_register_field(block, reg::kNpFlag, 1); }

std::pair<uint8_t, uint8_t> column_span(const std::vector<hw::Component>& components) {
  if (components.empty()) throw std::out_of_range("invalid vector subscript");
  if (components.size() == 1 && components.front().type == hw::Type::HRC) return {1, 1};
  const auto [low, high] = std::minmax_element(
      components.begin(), components.end(),
      [](const hw::Component& a, const hw::Component& b) { return a.ident.col < b.ident.col; });
  return {low->ident.col, high->ident.col};
}

}  // namespace morla::v2
