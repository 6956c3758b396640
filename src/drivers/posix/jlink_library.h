#pragma once
// Where the J-Link probe vendor's library is found on Linux.
#include <string>

namespace morla {

// The vendor's shared object, found through the dynamic loader's search path.
inline constexpr const char* kJlinkLibraryName = "libjlinkarm.so";
// When set, the path of the library to load instead.
inline constexpr const char* kJlinkLibraryVariable = "MORLA_JLINK_LIBRARY";

struct JlinkLibrary {
  // The file to load; empty when there is none to load.
  std::string path;
  // Why a file that was found is not loaded; empty otherwise.
  std::string refusal;
};

// The override variable's value when set, else the library's name; a name without a '/'
// is resolved the way the loader searches (library_search.h). Only a whole ELF shared
// object is offered for loading: the loader maps a file's segments, and a truncated copy
// would end the process.
JlinkLibrary find_jlink_library();

}  // namespace morla
