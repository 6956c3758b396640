#pragma once
// The host side of the fake probe library (tests/sim/jlink/): the board memory it
// starts from and the log of the calls it received, in files of a temporary folder,
// with the environment that points a child process's J-Link driver at them.
#include <string>
#include <vector>

#include "board_config.h"
#include "temp_folder.h"

namespace morla::sim {

class FakeProbe {
 public:
  // `library` is the path of the built fake library.
  FakeProbe(const BoardConfig& board_config, std::string library);

  // "MORLA_JLINK_LIBRARY=... FAKE_JLINK_MEMORY=... FAKE_JLINK_LOG=...", for `env`
  // in front of a command (JLINK_EN is the test's to set).
  std::string environment() const;
  // The library's calls so far, one line each ("ReadMem f0000010 4"), then "unload"
  // once it was unloaded.
  std::vector<std::string> calls() const;

 private:
  TempFolder folder_;
  std::string library_;
};

}  // namespace morla::sim
