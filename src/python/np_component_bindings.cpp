// NP identifiers, types, NP info, spaces, memory info and components.
#include "python/registration.h"

namespace morla::python {

void init_np_component_bindings(py::module_&) {}

}  // namespace morla::python
