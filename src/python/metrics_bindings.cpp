// Metrics.
#include "python/registration.h"

namespace morla::python {

void init_metrics_bindings(py::module_&) {}

}  // namespace morla::python
