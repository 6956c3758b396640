// Variables and evaluate_bitwidth.
#include "python/registration.h"

namespace morla::python {

void init_variables_bindings(py::module_&) {}

}  // namespace morla::python
