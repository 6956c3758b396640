#include "core/interpreter_version.h"

#include <cstring>

namespace morla {

bool interpreter_version_accepted(const char* compiled_for, const char* version) {
  const size_t n = std::strlen(compiled_for);
  if (std::strncmp(version, compiled_for, n) != 0) return false;
  const char next = version[n];
  return !(next >= '0' && next <= '9');
}

std::string interpreter_version_mismatch(const char* compiled_for, const char* version) {
  return std::string("Python version mismatch: module was compiled for Python ") + compiled_for +
         ", but the interpreter version is incompatible: " + version + ".";
}

}  // namespace morla
