#pragma once
// What a simulated board holds at power-up: its version, SoC revision, mesh
// identification words and NP information words, at the addresses the host
// software reads them from.
#include <cstdint>
#include <map>

#include "board_memory.h"
#include "core/hw_ident.h"
#include "core/hw_version.h"

namespace morla::sim {

// The board's register map.
inline constexpr uint32_t kRegistersBase = 0xFCC00000;
inline constexpr uint32_t kHwVersionOffset = 0x000;  // vendor, product, major, minor bytes
inline constexpr uint32_t kClockCounterControlOffset = 0x020;
inline constexpr uint32_t kClockCounterOffset = 0x024;
inline constexpr uint32_t kProgramClockCountOffset = 0x028;
inline constexpr uint32_t kNpInfoOffset = 0x10000;
inline constexpr uint32_t kSocVersionRegister = 0xF0000010;

inline constexpr uint32_t np_info_offset(const hw::Ident& ident) {
  return kNpInfoOffset +
         (uint32_t{ident.col} << 13 | uint32_t{ident.row} << 5 | (ident.id & 7u) << 2);
}

// The mesh identification words (offsets from the registers base).
struct MeshGeometry {
  uint8_t rows = 0, cols = 0, first_col_row1 = 0, first_col_row2 = 0;
  uint8_t slots = 1;
  bool dma_node_empty = false;
  uint8_t dma_row = 0, dma_col = 0, dma_event_id = 0, dma_conf_id = 0;
  uint8_t probed_row = 0, probed_col = 0, last_col = 0;

  uint32_t word50() const;
  uint32_t word54() const;
  uint32_t word58() const;
};

struct BoardSpec {
  HwVersion version;
  uint32_t soc_version = 1;
  MeshGeometry geometry;
  // Further words by offset from the registers base (0x64..0x7C and others).
  std::map<uint32_t, uint32_t> registers;
  // The information word of each NP position; absent positions read 0.
  std::map<hw::Ident, uint32_t> np_info;
};

void load_board(BoardMemory& memory, const BoardSpec& spec);

// An Orbi board of SoC revision `soc_version` with a small IP v1 mesh.
BoardSpec orbi_board(uint32_t soc_version = 1);

}  // namespace morla::sim
