#include "driver_test_support.h"

#include <cstdio>

namespace morla::test {

std::string run_command(const std::string& command) {
  std::string output;
  FILE* pipe = popen(("timeout 60 " + command).c_str(), "r");
  if (pipe == nullptr) return output;
  char buffer[4096];
  while (size_t n = std::fread(buffer, 1, sizeof buffer, pipe)) output.append(buffer, n);
  pclose(pipe);
  return output;
}

}  // namespace morla::test
