#include "drivers/posix/dl_handle.h"

#include <dlfcn.h>

#include "drivers/driver_errors.h"

namespace morla {

DlHandle::DlHandle(const std::string& path) : module_(dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL)) {
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
