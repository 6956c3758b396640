#include "drivers/posix/jlink_library.h"

#include <cstdlib>

namespace morla {

std::string jlink_library_path() {
  const char* path = std::getenv(kJlinkLibraryVariable);
  return path != nullptr && *path != '\0' ? path : kJlinkLibraryName;
}

}  // namespace morla
