// Model.
#include "python/registration.h"

namespace morla::python {

void init_model_bindings(py::module_&) {}

}  // namespace morla::python
