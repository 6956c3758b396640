// A simulated board on a pseudo-terminal, for tests in other processes: prints the
// tty path on standard output and serves it until standard input closes.
//   board_sim [--soc N] [--binary]
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "board_simulator.h"

int main(int argc, char** argv) {
  uint32_t soc_version = 1;
  bool binary = false;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--soc") == 0 && i + 1 < argc) {
      soc_version = static_cast<uint32_t>(std::strtoul(argv[++i], nullptr, 10));
    } else if (std::strcmp(argv[i], "--binary") == 0) {
      binary = true;
    } else {
      std::fprintf(stderr, "usage: %s [--soc N] [--binary]\n", argv[0]);
      return 2;
    }
  }
  morla::sim::BoardSimulator board(morla::sim::orbi_board(soc_version), binary);
  std::printf("%s\n", board.port_path().c_str());
  std::fflush(stdout);
  char line[256];
  while (std::fgets(line, sizeof line, stdin) != nullptr) {
  }
  return 0;
}
