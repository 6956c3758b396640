#include "drivers/posix/dl_handle.h"

#include <dlfcn.h>
#include <sys/stat.h>

#include "drivers/driver_errors.h"

namespace morla {
namespace {

// dlopen reads the file a path names: a FIFO would hold it until a writer comes, and
// nothing but a regular file is a library. A bare name is left to the loader's search.
void* open_library(const std::string& path) {
  struct stat info;
  if (path.find('/') != std::string::npos && ::stat(path.c_str(), &info) == 0 &&
      !S_ISREG(info.st_mode))
    return nullptr;
  return dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
}

}  // namespace

DlHandle::DlHandle(const std::string& path) : module_(open_library(path)) {
  if (module_ == nullptr) throw DlHandleError();
}

DlHandle::~DlHandle() { dlclose(module_); }

void* DlHandle::lookup(const char* name) const {
  void* address = dlsym(module_, name);
  // A null address is as unusable as a missing name, whatever dlerror says.
  if (address == nullptr) throw DlHandleError();
  return address;
}

}  // namespace morla
