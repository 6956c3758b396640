// Layer and Layer.Mapping.
#include "python/registration.h"

namespace morla::python {

void init_layer_bindings(py::module_&) {}

}  // namespace morla::python
