#pragma once
// What a simulated board holds at power-up: its version, SoC revision, mesh
// identification words and NP information words, at the addresses the host
// software reads them from.
#include <cstdint>
#include <map>
#include <vector>

#include "board_memory.h"
#include "core/hw_ident.h"
#include "engine/board_registers.h"
#include "soc_models.h"
#include "core/hw_version.h"

namespace morla::sim {

// The board's register map.
inline constexpr uint32_t kRegistersBase = 0xFCC00000;
// The words the engine reads and writes (engine/board_registers.h).
inline constexpr uint32_t kHwVersionOffset = engine::board::kHwVersion;
inline constexpr uint32_t kClockCounterControlOffset = engine::board::kClockCounterControl;
inline constexpr uint32_t kClockCounterOffset = engine::board::kClockCounter;
inline constexpr uint32_t kProgramClockCountOffset = engine::board::kProgramClockCount;
inline constexpr uint32_t kNpInfoOffset = engine::board::kNpInfo;
inline constexpr uint32_t kLearnMemWordsOffset = engine::board::kLearnMemWords;
inline constexpr uint32_t kLearnMemOffset = engine::board::kLearnMem;
inline constexpr uint32_t kSocVersionRegister = 0xF0000010;

// SoC peripherals: the clock block, the I2C and the I3C master controllers.
inline constexpr uint32_t kClockBlockBase = 0xF0001000;
inline constexpr uint32_t kClockBlockSize = 0x1000;
inline constexpr uint32_t kClockChange = 0xF0001030;
inline constexpr uint32_t kClockCoreDivider = 0xF0001190;
inline constexpr uint32_t kClockDoubleDivider = 0xF00011A0;
inline constexpr uint32_t kClockBusDivider = 0xF00011B0;
inline constexpr uint32_t kI2cBase = 0xF000A000;
inline constexpr uint32_t kI2cSize = 0x20;
inline constexpr uint32_t kI2cStatus = kI2cBase + 0x00;
inline constexpr uint32_t kI2cControl = kI2cBase + 0x04;
inline constexpr uint32_t kI2cSetup = kI2cBase + 0x08;
inline constexpr uint32_t kI2cData = kI2cBase + 0x10;
inline constexpr uint32_t kI3cBase = 0xF000B000;
inline constexpr uint32_t kI3cSize = 0x100;
inline constexpr uint32_t kI3cControl = kI3cBase + 0x10;
inline constexpr uint32_t kI3cEventControl = kI3cBase + 0x2C;
inline constexpr uint32_t kI3cEvents = kI3cBase + 0x30;
inline constexpr uint32_t kI3cStatus = kI3cBase + 0x34;
inline constexpr uint32_t kI3cResponse = kI3cBase + 0x38;
inline constexpr uint32_t kI3cCommand0 = kI3cBase + 0x60;
inline constexpr uint32_t kI3cCommand1 = kI3cBase + 0x64;
inline constexpr uint32_t kI3cTxData = kI3cBase + 0x68;
inline constexpr uint32_t kI3cRxData = kI3cBase + 0x80;
inline constexpr uint32_t kI3cDeviceEnable = kI3cBase + 0xB8;
inline constexpr uint32_t kI3cDeviceAddress = kI3cBase + 0xD0;
inline constexpr uint8_t kPowerMonitorAddress = 0x40;

inline constexpr uint32_t np_info_offset(const hw::Ident& ident) {
  return engine::board::np_info_offset(ident);
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

// The board's power monitor and the bus it sits on.
struct SocConfig {
  enum class MonitorBus { I2c, I3c };
  MonitorBus monitor_bus = MonitorBus::I2c;
  MonitorChip monitor = MonitorChip::Ina231;
  // 1.2 V and 500 mA: 600 mW.
  uint16_t voltage_steps = 960;
  uint16_t current_steps = 200;
  int clock_settle_reads = 2;
};

struct BoardConfig {
  HwVersion version;
  uint32_t soc_version = 1;
  MeshGeometry geometry;
  // Further words by offset from the registers base (0x64..0x7C and others).
  std::map<uint32_t, uint32_t> registers;
  // The information word of each NP position; absent positions read 0.
  std::map<hw::Ident, uint32_t> np_info;
  // Size in words of the learning layer's memory.
  uint32_t learn_mem_words = 0;
  SocConfig soc;
};

// One 32-bit word of a board's power-up contents.
struct BoardWord {
  uint32_t address;
  uint32_t value;
};

// The board's words in the address space of a driver whose registers start at
// `registers_base`: the version, the SoC revision, the mesh and NP words.
std::vector<BoardWord> board_words(const BoardConfig& board_config,
                                   uint32_t registers_base = kRegistersBase);

// Writes the board's words and plugs in its SoC peripheral models.
SocModels load_board(BoardMemory& memory, const BoardConfig& board_config);

// An Orbi board of SoC revision `soc_version` with a small IP v1 mesh.
BoardConfig orbi_board(uint32_t soc_version = 1);

}  // namespace morla::sim
