#pragma once
// A shared library loaded at run time and the addresses of its functions by name.
#include <string>

namespace morla {

class DlHandle {
 public:
  // Throws DlHandleError when the library cannot be loaded: `path` names a file (it holds a
  // '/'), a whole ELF shared object.
  explicit DlHandle(const std::string& path);
  // Unloads the library.
  ~DlHandle();
  DlHandle(const DlHandle&) = delete;
  DlHandle& operator=(const DlHandle&) = delete;

  // The address of the exported function `name`; throws DlHandleError when the
  // library does not export it.
  void* lookup(const char* name) const;

 private:
  void* module_;
};

}  // namespace morla
