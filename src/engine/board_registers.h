#pragma once
// Where the stand-in engine finds things on a board, relative to the driver's
// registers_base, and the run protocol it speaks with the board's firmware.
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

// The run protocol (README, "Running a program on a board"). Addresses are board
// addresses; sizes are bytes. The host writes, the board answers in the registers marked
// "board".
// The loaded program: its info (size prefix included) and where its data lies.
inline constexpr uint32_t kProgramInfoAddress = 0x1000;
inline constexpr uint32_t kProgramInfoSize = 0x1004;
inline constexpr uint32_t kProgramDataAddress = 0x1008;  // 0: no program data
inline constexpr uint32_t kLearnEnable = 0x100C;
// The frames of one run: element type (TensorType), (x, y, c), bytes of one frame.
inline constexpr uint32_t kInputAddress = 0x1010;
inline constexpr uint32_t kInputType = 0x1014;
inline constexpr uint32_t kInputDims = 0x1018;  // three words
inline constexpr uint32_t kInputFrameBytes = 0x1024;
inline constexpr uint32_t kFrameCount = 0x1028;
// Labels of a learning run: signed 32-bit words.
inline constexpr uint32_t kLabelsAddress = 0x102C;
inline constexpr uint32_t kLabelCount = 0x1030;
// Where the board writes the output frames, and what it wrote (board).
inline constexpr uint32_t kOutputAddress = 0x1034;
inline constexpr uint32_t kOutputLimit = 0x1038;       // bytes available at kOutputAddress
inline constexpr uint32_t kOutputType = 0x103C;        // board
inline constexpr uint32_t kOutputDims = 0x1040;        // board, three words
inline constexpr uint32_t kOutputFrameBytes = 0x104C;  // board
inline constexpr uint32_t kCommand = 0x1050;
inline constexpr uint32_t kStatus = 0x1054;  // board

enum class Command : uint32_t { Load = 1, Forward = 2, Predict = 3, Fit = 4, Unprogram = 5 };
// A finished run (Done or Error) has bit 1 set.
enum class Status : uint32_t { Idle = 0, Busy = 1, Done = 2, Error = 3 };

}  // namespace morla::engine::board
