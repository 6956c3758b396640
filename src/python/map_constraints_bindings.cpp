// MapConstraints.
#include "python/registration.h"

namespace morla::python {

void init_map_constraints_bindings(py::module_&) {}

}  // namespace morla::python
