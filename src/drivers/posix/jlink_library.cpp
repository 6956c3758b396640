#include "drivers/posix/jlink_library.h"

#include <unistd.h>

#include <cstdlib>

#include "drivers/posix/elf_image.h"
#include "drivers/posix/library_search.h"

namespace morla {

JlinkLibrary find_jlink_library() {
  const char* variable = std::getenv(kJlinkLibraryVariable);
  const std::string given = variable != nullptr && *variable != '\0' ? variable : kJlinkLibraryName;
  const std::string path =
      given.find('/') == std::string::npos ? find_shared_library(given) : given;
  // A missing library is the usual case of a host without the probe's software.
  if (path.empty() || ::access(path.c_str(), F_OK) != 0) return {};
  if (!is_whole_elf_object(path))
    return {{}, path + " is not a whole ELF shared object: the J-Link library is not loaded"};
  return {path, {}};
}

}  // namespace morla
