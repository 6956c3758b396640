// Optimizer and MorlaUnsupervised.
#include "python/registration.h"

namespace morla::python {

void init_optimizer_bindings(py::module_&) {}

}  // namespace morla::python
