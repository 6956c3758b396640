#pragma once
// An FPGA board as the Linux DMA driver shows it, made of regular files in a
// temporary folder: `xdma0_user`, the sparse register window holding the board's
// words and its SoC name word, and `xdma0_c2h_0`, the sparse board memory, which
// `xdma0_h2c_0` links to so that written memory reads back.
#include <cstdint>
#include <string>

#include "board_config.h"
#include "temp_folder.h"

namespace morla::sim {

class FpgaBoardFiles {
 public:
  static constexpr uint32_t kWindowSize = 0x200000;
  static constexpr uint32_t kSocNameWord = 0x1F0000;

  // `soc_id` goes to bits 31-20 of the SoC name word.
  FpgaBoardFiles(const BoardConfig& board_config, uint32_t soc_id);

  // The device-file prefix of the board (board index 0 follows it).
  std::string prefix() const { return (folder_.path() / "xdma").string(); }
  std::string user_file() const { return folder_.file("xdma0_user"); }
  std::string memory_file() const { return folder_.file("xdma0_c2h_0"); }
  std::string write_channel() const { return folder_.file("xdma0_h2c_0"); }

 private:
  TempFolder folder_;
};

// One 32-bit word of `file` at `offset`, read or written.
uint32_t file_word(const std::string& file, uint64_t offset);
void write_file_word(const std::string& file, uint64_t offset, uint32_t value);

}  // namespace morla::sim
