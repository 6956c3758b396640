// PowerEvent and PowerMeter.
#include "python/registration.h"

namespace morla::python {

void init_power_bindings(py::module_&) {}

}  // namespace morla::python
