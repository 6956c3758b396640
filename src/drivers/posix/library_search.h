#pragma once
// Where the dynamic loader finds a shared library given by bare name. dlopen of a bare name
// maps whatever its search finds, a truncated copy included; resolving the name here lets
// the file be checked first and then loaded by its path.
#include <string>
#include <vector>

namespace morla {

// The first file named `name` in the folders the loader searches for this module (its
// RPATH, LD_LIBRARY_PATH unless the process runs set-user-ID, its RUNPATH, the system
// folders), then among the loader cache's entries for `name`; files holding an ELF object
// of another class, byte order or machine are passed over, as the loader does. Empty when
// nothing is found.
std::string find_shared_library(const std::string& name);

// The paths that the loader's cache file gives for `name`, in the file's order: the format
// "glibc-ld.so.cache1.1", alone or after the old "ld.so-1.7.0" table. None for a file that
// cannot be read or holds neither.
std::vector<std::string> cached_library_paths(const std::string& cache_file,
                                              const std::string& name);

}  // namespace morla
