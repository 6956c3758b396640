// Reference operations (submodule nn).
#include "python/registration.h"

namespace morla::python {

void init_nn_bindings(py::module_&) {}

}  // namespace morla::python
