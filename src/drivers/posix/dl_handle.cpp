#include "drivers/posix/dl_handle.h"

#include <dlfcn.h>

#include "drivers/driver_errors.h"
#include "drivers/posix/elf_image.h"

namespace morla {
namespace {

// dlopen maps the file a path names: a FIFO would hold it until a writer comes, and a
// truncated object kills the process inside the loader. So a path is loaded only when it
// names a whole ELF object, and a bare name (which the loader would search for, mapping
// whatever it finds) is not loaded at all.
void* open_library(const std::string& path) {
  if (path.find('/') == std::string::npos || !is_whole_elf_object(path)) return nullptr;
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
