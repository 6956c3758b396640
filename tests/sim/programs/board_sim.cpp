// A simulated IP v1 board on a pseudo-terminal, for tests and for trying the host side
// without hardware: prints the tty path on standard output and serves it until standard
// input ends, or until it is signalled (--until-signal). `board_sim --help` lists the
// options.
#include <pthread.h>
#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "board_simulator.h"
#include "core/device_versions.h"
#include "engine_api/hardware_device.h"
#include "engine_api/sequence.h"
#include "core/virtual_device.h"
#include "devices/device_probe.h"
#include "devices/host_device.h"
#include "memory_driver.h"
#include "program_player.h"

namespace {

constexpr char kHelp[] =
    "usage: %s [options]\n"
    "\n"
    "A simulated IP v1 board on a pseudo-terminal. The first line of standard output is the\n"
    "terminal's path: point the host at it with MORLA_SERIAL_PORT=<path>. The board serves\n"
    "until standard input ends (a line \"stats\" prints \"loads=L runs=R version_reads=V\",\n"
    "V the reads of the hardware version), or with --until-signal until SIGINT, SIGTERM or\n"
    "SIGHUP.\n"
    "\n"
    "  --soc N           the SoC revision, 1 or 2 (default):\n"
    "                      1: Orbi_v1, version 4B.00.000.001, IP v1. The mapping refuses\n"
    "                         every layer on this version: a model mapped on it runs\n"
    "                         wholly in software (mapped with hw_only=True, it says so).\n"
    "                      2: Orbi_v2, version 4B.00.000.002, IP v1\n"
    "                    Both have the same mesh: the DMA node at column 1, row 1 (no NP;\n"
    "                    event and configuration DMA both id 0), an HRC without look-up\n"
    "                    table, and three CNPs (CNP1) with look-up tables at (1, 2, 0),\n"
    "                    (2, 1, 0) and (2, 2, 0), as NP.Ident(col, row, id); the last one\n"
    "                    also runs fully connected layers (FNP3) unless --no-fnp3 is given.\n"
    "                    This is the mesh of examples/ip_v1.py.\n"
    "  --no-fnp3         the NP at (2, 2, 0) is a CNP only (no fully connected layers)\n"
    "  --fnp3            the NP at (2, 2, 0) also runs fully connected layers (the default)\n"
    "  --pair P=M        answer a loaded program equal to the file P, byte for byte, with\n"
    "                    the software outputs of the model file M (the board does not\n"
    "                    execute NP programs; any other program ends every run in the error\n"
    "                    status, and the program's size and checksum are printed on standard\n"
    "                    error). P is the `program` of one hardware sequence of a model\n"
    "                    mapped on core.Device(<the --soc version>, <the mesh above>); M holds\n"
    "                    that sequence's layers only. One --pair per hardware sequence. A\n"
    "                    model mapped again (after its variables changed) has new programs:\n"
    "                    it needs new pairs, and board_sim started again with them. On\n"
    "                    Orbi_v2 the host's start-up test inference is paired here already.\n"
    "  --fail-runs N     the first N runs end in the error status\n"
    "  --learn-words N   words of learning memory before a program is loaded (default 0;\n"
    "                    a paired program with learning sets its own)\n"
    "  --binary          start in binary mode, past the text console\n"
    "  --ina233          the power monitor is an INA233 (default INA231)\n"
    "  --i3c             the power monitor is on the I3C bus (default I2C)\n"
    "  --until-signal    run until SIGINT, SIGTERM or SIGHUP; standard input is not read\n"
    "  --help            this text\n";

int usage_error(const char* program, const std::string& why) {
  std::fprintf(stderr, "%s: %s (see %s --help)\n", program, why.c_str(), program);
  return 2;
}

// A whole decimal number of at most `max`, or -1.
long long number(const char* text, unsigned long long max) {
  char* end = nullptr;
  const unsigned long long value = std::strtoull(text, &end, 10);
  if (*text < '0' || *text > '9' || *end != '\0' || value > max) return -1;
  return static_cast<long long>(value);
}

// The host's start-up test inference on an Orbi v2 board runs as on a real board: its
// program, made for the board's own mesh, is paired with its model.
morla::sim::ProgramPair start_up_probe_pair(morla::sim::BoardMemory& memory) {
  morla::sim::MemoryDriver driver(memory);
  const morla::HostDevice device(morla::HardwareDevice::create(&driver));
  const auto model = morla::build_probe_model();
  model->map(morla::make_virtual_device(device.version(), device.mesh()), true, nullptr);
  const morla::ByteRange program = model->sequences().front()->program();
  return {std::vector<uint8_t>(program.data, program.data + program.size),
          morla::build_probe_model(), "(the start-up test inference)"};
}

}  // namespace

int main(int argc, char** argv) {
  uint32_t soc_version = 2;
  bool binary = false, fnp3 = true, until_signal = false;
  morla::sim::SocConfig soc;
  uint32_t learn_words = 0;
  size_t failing_runs = 0;
  std::vector<std::string> pair_arguments;
  for (int i = 1; i < argc; ++i) {
    const std::string option = argv[i];
    const bool valued = option == "--soc" || option == "--learn-words" || option == "--fail-runs" ||
                        option == "--pair";
    if (valued && i + 1 >= argc) return usage_error(argv[0], option + " needs a value");
    const char* value = valued ? argv[++i] : nullptr;
    if (option == "--help" || option == "-h") {
      std::printf(kHelp, argv[0]);
      return 0;
    } else if (option == "--soc") {
      const long long n = number(value, 2);
      if (n < 1) return usage_error(argv[0], "--soc takes 1 or 2, not " + std::string(value));
      soc_version = static_cast<uint32_t>(n);
    } else if (option == "--learn-words" || option == "--fail-runs") {
      const long long n = number(value, UINT32_MAX);
      if (n < 0) return usage_error(argv[0], option + " takes a number, not " + value);
      if (option == "--learn-words")
        learn_words = static_cast<uint32_t>(n);
      else
        failing_runs = static_cast<size_t>(n);
    } else if (option == "--pair") {
      pair_arguments.push_back(value);
    } else if (option == "--binary") {
      binary = true;
    } else if (option == "--ina233") {
      soc.monitor = morla::sim::MonitorChip::Ina233;
    } else if (option == "--i3c") {
      soc.monitor_bus = morla::sim::SocConfig::MonitorBus::I3c;
    } else if (option == "--fnp3" || option == "--no-fnp3") {
      fnp3 = option == "--fnp3";
    } else if (option == "--until-signal") {
      until_signal = true;
    } else {
      return usage_error(argv[0], "unknown option " + option);
    }
  }
  morla::sim::BoardConfig board_config = morla::sim::orbi_board(soc_version);
  board_config.soc = soc;
  board_config.learn_mem_words = learn_words;
  if (fnp3) board_config.np_info[morla::hw::Ident{2, 2, 0, 0}] |= 3u << 4;
  std::vector<morla::sim::ProgramPair> pairs;
  for (const std::string& argument : pair_arguments) {
    try {
      pairs.push_back(morla::sim::read_program_pair(argument, board_config.version));
    } catch (const std::exception& error) {
      std::fprintf(stderr, "%s: --pair %s\n", argv[0], error.what());
      return 2;
    }
  }
  // The signals are taken by sigwait below: block them before the board's thread starts, so
  // that it inherits the mask.
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  for (const int signal : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&stop_signals, signal);
  if (until_signal) pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);

  morla::sim::BoardSimulator board(board_config, binary);
  if (board_config.version == morla::devices::Orbi_v2)
    pairs.push_back(start_up_probe_pair(board.memory()));
  const auto player = morla::sim::ProgramPlayer::install(board.memory(), morla::sim::kRegistersBase,
                                                         std::move(pairs));
  player->fail_runs(failing_runs);
  std::printf("%s\n", board.port_path().c_str());
  std::fflush(stdout);
  if (until_signal) {
    int signal = 0;
    sigwait(&stop_signals, &signal);
    return 0;
  }
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
