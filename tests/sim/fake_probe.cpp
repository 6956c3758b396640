#include "fake_probe.h"

#include <cstdio>
#include <fstream>
#include <utility>

#include "drivers/posix/jlink_library.h"

namespace morla::sim {

FakeProbe::FakeProbe(const BoardConfig& board_config, std::string library)
    : folder_("morla-probe"), library_(std::move(library)) {
  std::ofstream seed(folder_.file("memory"));
  char line[32];
  for (const BoardWord& word : board_words(board_config)) {
    std::snprintf(line, sizeof line, "%08x %08x\n", word.address, word.value);
    seed << line;
  }
}

std::string FakeProbe::environment() const {
  return std::string(kJlinkLibraryVariable) + "=" + library_ +
         " FAKE_JLINK_MEMORY=" + folder_.file("memory") + " FAKE_JLINK_LOG=" + folder_.file("log");
}

std::vector<std::string> FakeProbe::calls() const {
  std::vector<std::string> lines;
  std::ifstream log(folder_.file("log"));
  for (std::string line; std::getline(log, line);) lines.push_back(line);
  return lines;
}

}  // namespace morla::sim
