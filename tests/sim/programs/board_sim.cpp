// A simulated board on a pseudo-terminal, for tests in other processes: prints the
// tty path on standard output and serves it until standard input closes.
//   board_sim [--soc N] [--binary] [--ina233] [--i3c] [--learn-words N] [--fnp3]
//             [--pair program.bin=model.fbz]... [--fail-runs N]
// --pair makes the board answer a loaded program equal to program.bin with the software
// outputs of model.fbz (the board does not execute NP programs); --fail-runs N makes the
// first N runs end in the device's error status; --fnp3 lets the NP at (2, 2) run fully
// connected layers. A line "stats" on standard input prints "loads=L runs=R
// version_reads=V" (V: reads of the hardware version, one per device created on the board).
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "board_simulator.h"
#include "program_player.h"

int main(int argc, char** argv) {
  uint32_t soc_version = 1;
  bool binary = false;
  bool fnp3 = false;
  morla::sim::SocConfig soc;
  uint32_t learn_words = 0;
  size_t failing_runs = 0;
  std::vector<morla::sim::ProgramPair> pairs;
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
    } else if (std::strcmp(argv[i], "--fnp3") == 0) {
      fnp3 = true;
    } else if (std::strcmp(argv[i], "--fail-runs") == 0 && i + 1 < argc) {
      failing_runs = std::strtoul(argv[++i], nullptr, 10);
    } else if (std::strcmp(argv[i], "--pair") == 0 && i + 1 < argc) {
      try {
        pairs.push_back(morla::sim::read_program_pair(argv[++i]));
      } catch (const std::exception& error) {
        std::fprintf(stderr, "%s: %s\n", argv[0], error.what());
        return 2;
      }
    } else {
      std::fprintf(stderr,
                   "usage: %s [--soc N] [--binary] [--ina233] [--i3c] [--learn-words N] "
                   "[--fnp3] [--pair program.bin=model.fbz]... [--fail-runs N]\n",
                   argv[0]);
      return 2;
    }
  }
  morla::sim::BoardConfig board_config = morla::sim::orbi_board(soc_version);
  board_config.soc = soc;
  board_config.learn_mem_words = learn_words;
  if (fnp3) board_config.np_info[morla::hw::Ident{2, 2, 0, 0}] |= 3u << 4;
  morla::sim::BoardSimulator board(board_config, binary);
  const auto player = morla::sim::ProgramPlayer::install(
      board.memory(), morla::sim::kRegistersBase, std::move(pairs));
  player->fail_runs(failing_runs);
  std::printf("%s\n", board.port_path().c_str());
  std::fflush(stdout);
  char line[256];
  while (std::fgets(line, sizeof line, stdin) != nullptr) {
    if (std::strncmp(line, "stats", 5) == 0) {
      size_t version_reads = 0;
      for (const auto& frame : board.frames())
        version_reads += frame.command == 1 && frame.address == morla::sim::kRegistersBase;
      std::printf("loads=%zu runs=%zu version_reads=%zu\n", player->loads(), player->runs(),
                  version_reads);
      std::fflush(stdout);
    }
  }
  return 0;
}
