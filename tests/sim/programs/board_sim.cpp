// A simulated board on a pseudo-terminal, for tests in other processes: prints the
// tty path on standard output and serves it until standard input closes.
//   board_sim [--soc N] [--binary] [--ina233] [--i3c] [--learn-words N]
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "board_simulator.h"

int main(int argc, char** argv) {
  uint32_t soc_version = 1;
  bool binary = false;
  morla::sim::SocConfig soc;
  uint32_t learn_words = 0;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--soc") == 0 && i + 1 < argc) {
      soc_version = static_cast<uint32_t>(std::strtoul(argv[++i], nullptr, 10));
    } else if (std::strcmp(argv[i], "--binary") == 0) {
      binary = true;
    } else if (std::strcmp(argv[i], "--ina233") == 0) {
      soc.monitor = morla::sim::MonitorChip::Ina233;
    } else if (std::strcmp(argv[i], "--i3c") == 0) {
      soc.monitor_bus = morla::sim::SocConfig::MonitorBus::I3c;
    } else if (std::strcmp(argv[i], "--learn-words") == 0 && i + 1 < argc) {
      learn_words = static_cast<uint32_t>(std::strtoul(argv[++i], nullptr, 10));
    } else {
      std::fprintf(stderr,
                   "usage: %s [--soc N] [--binary] [--ina233] [--i3c] [--learn-words N]\n",
                   argv[0]);
      return 2;
    }
  }
  morla::sim::BoardConfig board_config = morla::sim::orbi_board(soc_version);
  board_config.soc = soc;
  board_config.learn_mem_words = learn_words;
  morla::sim::BoardSimulator board(board_config, binary);
  std::printf("%s\n", board.port_path().c_str());
  std::fflush(stdout);
  char line[256];
  while (std::fgets(line, sizeof line, stdin) != nullptr) {
  }
  return 0;
}
