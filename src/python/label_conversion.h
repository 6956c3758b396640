#pragma once
// Learning labels from Python: one number, an integer array or a list of integers. Labels
// that are not integers raise "fit method expects integers as labels", as the type of error
// the caller's class uses.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cstdint>
#include <vector>

namespace morla::python {

namespace py = pybind11;

enum class LabelError { type_error, value_error };

std::vector<int32_t> labels_from(float label, LabelError error);
std::vector<int32_t> labels_from(const py::array& labels, LabelError error);
std::vector<int32_t> labels_from(const py::list& labels, LabelError error);

}  // namespace morla::python
