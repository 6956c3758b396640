#include "python/label_conversion.h"

#include <pybind11/stl.h>

#include <stdexcept>

#include "model/labels.h"

namespace morla::python {

namespace {

[[noreturn]] void not_integers(LabelError error) {
  static constexpr const char* kMessage = "fit method expects integers as labels";
  if (error == LabelError::type_error) throw py::type_error(kMessage);
  throw std::invalid_argument(kMessage);
}

}  // namespace

std::vector<int32_t> labels_from(float label, LabelError error) {
  const auto value = whole_label(label);
  if (!value) not_integers(error);
  return {*value};
}

std::vector<int32_t> labels_from(const py::array& labels, LabelError error) {
  const py::module_ numpy = py::module_::import("numpy");
  if (!numpy.attr("issubdtype")(labels.attr("dtype"), numpy.attr("integer")).cast<bool>())
    not_integers(error);
  return labels.cast<std::vector<int32_t>>();
}

std::vector<int32_t> labels_from(const py::list& labels, LabelError error) {
  try {
    return labels.cast<std::vector<int32_t>>();
  } catch (const py::cast_error&) {
    not_integers(error);
  } catch (const py::error_already_set&) {
    not_integers(error);
  }
}

}  // namespace morla::python
