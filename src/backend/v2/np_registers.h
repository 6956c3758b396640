#pragma once
// The 64-word register block every v2 NP is programmed with (its fields: np_fields.h), and
// the small writers that all v2 recorders share for it.
#include <cstdint>
#include <utility>
#include <vector>

#include "core/hw_ident.h"
#include "contract/component.h"

namespace morla::v2 {

inline constexpr size_t kNpRegisterWords = 64;
using NpRegisters = std::vector<uint32_t>;

// The default block of `np`: word 3 bits 24-31 carry the pass byte (254 for a
// registers-only recording), word 56 depends on the NP's id and the merge kind.
NpRegisters init_np_registers(const hw::Component& np, uint32_t pass_byte, bool registers_only,
                              uint8_t merge_kind);

// Word 49: the NP's own position.
// No recorder calls it (an FNP2 block keeps word 49 as init_np_registers leaves it).
void record_np_ident(NpRegisters& block, const hw::Ident& ident);
// Word 2 bit 7.
void set_np_flag(NpRegisters& block);

// (lowest col, highest col) of the list; (1, 1) for a list of exactly one HRC. An empty list
// throws std::out_of_range.
std::pair<uint8_t, uint8_t> column_span(const std::vector<hw::Component>& components);

}  // namespace morla::v2
