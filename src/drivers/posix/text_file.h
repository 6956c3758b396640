#pragma once
// Writing a whole text file whose name comes from the user, without waiting on it.
#include <string>

namespace morla {

// Creates or truncates `path` and writes `text` to it. A FIFO without a reader is refused
// instead of waited for. Returns the reason of a failure, empty on success.
std::string write_text_file(const std::string& path, const std::string& text);

}  // namespace morla
