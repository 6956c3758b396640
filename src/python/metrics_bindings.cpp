// Metrics.
#include <pybind11/stl.h>

#include <memory>
#include <stdexcept>

#include "model/metrics.h"
#include "python/registration.h"

namespace morla::python {

void init_metrics_bindings(py::module_& m) {
  py::class_<Metrics, std::shared_ptr<Metrics>>(
      m, "Metrics", "\n      A set of 64-bit integer metrics indexed by name.\n      ")
      .def_property_readonly("names", &Metrics::names, "The list of metrics names")
      .def("__getitem__", &Metrics::get);
}

}  // namespace morla::python
