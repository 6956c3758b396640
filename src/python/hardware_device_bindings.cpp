// HardwareDevice and devices().
#include "python/registration.h"

namespace morla::python {

void init_hardware_device(py::module_&) {}

}  // namespace morla::python
