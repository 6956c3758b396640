// Layer-graph utilities (submodule graph_utils).
#include "python/registration.h"

namespace morla::python {

void init_graph_utils_bindings(py::module_&) {}

}  // namespace morla::python
