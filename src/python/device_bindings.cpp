// Device (virtual devices).
#include "python/registration.h"

namespace morla::python {

void init_device_bindings(py::module_&) {}

}  // namespace morla::python
