// An Orbi board behind the fake J-Link probe library and another one as FPGA board
// files, for tests in other processes: prints on one line the environment that
// attaches both ("JLINK_EN=1 MORLA_JLINK_LIBRARY=... MORLA_FPGA_DEVICE_PREFIX=..."),
// and keeps their files until standard input closes.
//   board_files <path of the fake probe library>
#include <cstdio>
#include <string>

#include "drivers/posix/xilinx_fpga.h"
#include "fake_probe.h"
#include "fpga_board_files.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s <fake probe library>\n", argv[0]);
    return 2;
  }
  const morla::sim::BoardConfig board_config = morla::sim::orbi_board(1);
  const morla::sim::FakeProbe probe(board_config, argv[1]);
  const morla::sim::FpgaBoardFiles fpga(board_config, 1066);
  std::printf("JLINK_EN=1 %s %s=%s\n", probe.environment().c_str(),
              morla::kFpgaDevicePrefixVariable, fpga.prefix().c_str());
  std::fflush(stdout);
  char line[256];
  while (std::fgets(line, sizeof line, stdin) != nullptr) {
  }
  return 0;
}
