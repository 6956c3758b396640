#include "board_config.h"

#include "core/device_versions.h"

namespace morla::sim {

uint32_t MeshGeometry::word50() const {
  return rows | cols << 8 | first_col_row1 << 16 | uint32_t{first_col_row2} << 24;
}

uint32_t MeshGeometry::word54() const {
  return (slots & 7u) | uint32_t{dma_node_empty} << 4 | dma_row << 8 | dma_col << 16 |
         (dma_event_id & 3u) << 24 | (dma_conf_id & 3u) << 28;
}

uint32_t MeshGeometry::word58() const {
  return probed_row | probed_col << 8 | uint32_t{last_col} << 24;
}

namespace {

SocModels install_soc_models(BoardMemory& memory, const SocConfig& board_config) {
  SocModels models{std::make_shared<ClockBlock>(), std::make_shared<I2cMaster>(),
                   std::make_shared<I3cMaster>(),
                   std::make_shared<PowerMonitor>(board_config.monitor)};
  models.clock->set_settle_reads(board_config.clock_settle_reads);
  models.monitor->set_readings(board_config.voltage_steps, board_config.current_steps);
  if (board_config.monitor_bus == SocConfig::MonitorBus::I2c)
    models.i2c->attach(kPowerMonitorAddress, models.monitor);
  else
    models.i3c->attach(kPowerMonitorAddress, models.monitor);
  memory.add_handler(kClockBlockBase, kClockBlockSize, models.clock);
  memory.add_handler(kI2cBase, kI2cSize, models.i2c);
  memory.add_handler(kI3cBase, kI3cSize, models.i3c);
  return models;
}

}  // namespace

std::vector<BoardWord> board_words(const BoardConfig& board_config, uint32_t registers_base) {
  const HwVersion& v = board_config.version;
  std::vector<BoardWord> words = {
      {registers_base + kHwVersionOffset,
       v.vendor_id | v.product_id << 8 | v.major_rev << 16 | uint32_t{v.minor_rev} << 24},
      {kSocVersionRegister, board_config.soc_version},
      {registers_base + 0x50, board_config.geometry.word50()},
      {registers_base + 0x54, board_config.geometry.word54()},
      {registers_base + 0x58, board_config.geometry.word58()},
  };
  for (const auto& [offset, word] : board_config.registers)
    words.push_back({registers_base + offset, word});
  for (const auto& [ident, word] : board_config.np_info)
    words.push_back({registers_base + np_info_offset(ident), word});
  words.push_back({registers_base + kLearnMemWordsOffset, board_config.learn_mem_words});
  return words;
}

SocModels load_board(BoardMemory& memory, const BoardConfig& board_config) {
  for (const BoardWord& word : board_words(board_config))
    memory.write_word(word.address, word.value);
  return install_soc_models(memory, board_config.soc);
}

BoardConfig orbi_board(uint32_t soc_version) {
  BoardConfig board_config;
  board_config.version = soc_version == 2 ? devices::Orbi_v2 : devices::Orbi_v1;
  board_config.soc_version = soc_version;
  // Two columns of two rows, one NP slot; the DMA node (row 1, column 1) holds no NP.
  board_config.geometry = MeshGeometry{2, 2, 0, 0, 1, true, 1, 1, 0, 0, 0, 0, 2};
  const uint32_t cnp_with_lut = 1u << 6 | 1u << 10;
  for (const hw::Ident ident :
       {hw::Ident{1, 2, 0, 0}, hw::Ident{2, 1, 0, 0}, hw::Ident{2, 2, 0, 0}})
    board_config.np_info[ident] = cnp_with_lut;
  return board_config;
}

}  // namespace morla::sim
