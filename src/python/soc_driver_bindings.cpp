// SocDriver.
#include "python/registration.h"

namespace morla::python {

void init_soc_driver_bindings(py::module_&) {}

}  // namespace morla::python
