// Variables and evaluate_bitwidth.
#include <pybind11/numpy.h>
#include <pybind11/stl.h>

#include <stdexcept>
#include <string>

#include "engine_api/variables.h"
#include "contract/bitwidth.h"
#include "python/registration.h"
#include "python/tensor_conversion.h"

namespace morla::python {

namespace {

constexpr const char* kEvaluateBitwidthDoc = R"(
   Evalutate the maximum bitwidth that the values of the variable take.

   Args:
       variable (:obj:`numpy.ndarray`): The variable on which the bitwidth is evaluated.
   )";

using Converter = std::shared_ptr<Dense> (*)(py::handle, TensorType);

struct DtypeRule {
  const char* dtype;
  Converter convert;
};

// The NumPy dtype of a variable's storage element type, null above 10.
const DtypeRule* dtype_rule(TensorType type) {
  static const DtypeRule int32{"int32", &dense_from_numpy<int32_t>};
  static const DtypeRule float32{"float32", &dense_from_numpy<float>};
  static const DtypeRule uint8{"uint8", &dense_from_numpy<uint8_t>};
  static const DtypeRule int16{"int16", &dense_from_numpy<int16_t>};
  static const DtypeRule int8{"int8", &dense_from_numpy<int8_t>};
  static const DtypeRule uint16{"uint16", &dense_from_numpy<uint16_t>};
  switch (storage_type(type)) {
    case StorageType::int32: return &int32;
    case StorageType::float32: return &float32;
    case StorageType::uint8: return &uint8;
    case StorageType::int16: return &int16;
    case StorageType::int8: return &int8;
    case StorageType::uint16: return &uint16;
    case StorageType::none: break;
  }
  return nullptr;
}

void set_variable(Variables& self, const std::string& name, const py::array& value) {
  const TensorType type = self.get(name)->type();
  const py::object dtype = value.attr("dtype");
  const DtypeRule* rule = dtype_rule(type);
  if (!rule)
    throw std::invalid_argument("Unsupported variable type for " + name + " " +
                                py::str(dtype).cast<std::string>());
  if (!dtype.equal(py::str(rule->dtype)))
    throw std::invalid_argument("Unsupported variable type for " + name + " expected " +
                                rule->dtype + " received " + py::str(dtype).cast<std::string>());
  self.set(name, rule->convert(value, self.get(name)->type()));
}

int evaluate_array_bitwidth(const py::array& variable) {
  const py::object dtype = variable.attr("dtype");
  if (dtype.equal(py::str("float32"))) return 0;
  static const std::pair<const char*, TensorType> kinds[] = {{"int32", TensorType::int32},
                                                             {"int16", TensorType::int16},
                                                             {"int8", TensorType::int8},
                                                             {"uint16", TensorType::uint16},
                                                             {"uint8", TensorType::uint8}};
  for (const auto& [name, type] : kinds)
    if (dtype.equal(py::str(name)))
      return evaluate_bitwidth(*dtype_rule(type)->convert(variable, type));
  throw std::runtime_error("Wrong py::array type: cannot evaluate the bitwidth.");
}

}  // namespace

void init_variables_bindings(py::module_& m) {
  py::class_<Variables, std::shared_ptr<Variables>>(m, "Variables")
      .def_property_readonly("names", &Variables::names)
      .def("__getitem__", [](const Variables& self,
                             const std::string& name) { return tensor_to_numpy(self.get(name)); })
      .def("__setitem__", &set_variable);

  m.def("evaluate_bitwidth", &evaluate_array_bitwidth, py::arg("variable"), kEvaluateBitwidthDoc);
}

}  // namespace morla::python
