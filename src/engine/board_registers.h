#pragma once
// Where the stand-in engine finds things on a board, relative to the driver's
// registers_base.
#include <cstdint>

#include "core/hw_ident.h"

namespace morla::engine::board {

// The hardware version: vendor, product, major, minor in address order.
inline constexpr uint32_t kHwVersion = 0x000;
// Bit 0 enables the clock counters.
inline constexpr uint32_t kClockCounterControl = 0x020;
inline constexpr uint32_t kClockCounter = 0x024;
inline constexpr uint32_t kProgramClockCount = 0x028;
// Size in words of the learning layer's memory, and where its words are.
inline constexpr uint32_t kLearnMemWords = 0x02C;
inline constexpr uint32_t kLearnMem = 0x20000;
// One information word per NP position.
inline constexpr uint32_t kNpInfo = 0x10000;

inline constexpr uint32_t np_info_offset(const hw::Ident& ident) {
  return kNpInfo + (uint32_t{ident.col} << 13 | uint32_t{ident.row} << 5 | (ident.id & 7u) << 2);
}

}  // namespace morla::engine::board
