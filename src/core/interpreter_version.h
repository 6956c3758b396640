#pragma once
#include <string>

namespace morla {

// True when `version` (an interpreter's version text) starts with `compiled_for`
// ("3.12") followed by anything but a decimal digit.
bool interpreter_version_accepted(const char* compiled_for, const char* version);

// "Python version mismatch: module was compiled for Python <compiled_for>, but the
// interpreter version is incompatible: <version>."
std::string interpreter_version_mismatch(const char* compiled_for, const char* version);

}  // namespace morla
