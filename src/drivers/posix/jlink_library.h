#pragma once
// Where the J-Link probe vendor's library is found on Linux.
#include <string>

namespace morla {

// The vendor's shared object, found through the dynamic loader's search path.
inline constexpr const char* kJlinkLibraryName = "libjlinkarm.so";
// When set, the path of the library to load instead.
inline constexpr const char* kJlinkLibraryVariable = "MORLA_JLINK_LIBRARY";

// The override variable's value when set, else the library's name.
std::string jlink_library_path();

}  // namespace morla
