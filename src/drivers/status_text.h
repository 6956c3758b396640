#pragma once
// Status codes of the transport layers as their messages show them: the code in
// decimal, then its name.
#include <string>

namespace morla {

// The name of a status code of one vocabulary ("no acknowledge").
using StatusName = const char* (*)(int status);

// "-6 (no acknowledge)"; a code without a name shows as the number alone.
inline std::string status_text(int status, StatusName name) {
  const char* text = name(status);
  return std::to_string(status) + (text != nullptr ? std::string(" (") + text + ")" : "");
}

}  // namespace morla
