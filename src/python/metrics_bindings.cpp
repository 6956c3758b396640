// Metrics.
#include <pybind11/stl.h>

#include <memory>
#include <stdexcept>

#include "python/py_metrics.h"
#include "python/registration.h"

namespace morla::python {

int64_t PyMetrics::get(const std::string& name) const {
  const auto it = values_.find(name);
  if (it == values_.end()) throw std::invalid_argument(name + " : no such metrics");
  return it->second;
}

std::vector<std::string> PyMetrics::names() const {
  std::vector<std::string> out;
  out.reserve(values_.size());
  for (const auto& entry : values_) out.push_back(entry.first);
  return out;
}

void init_metrics_bindings(py::module_& m) {
  py::class_<PyMetrics, std::shared_ptr<PyMetrics>>(
      m, "Metrics", "\n      A set of 64-bit integer metrics indexed by name.\n      ")
      .def_property_readonly("names", &PyMetrics::names, "The list of metrics names")
      .def("__getitem__", &PyMetrics::get);
}

}  // namespace morla::python
