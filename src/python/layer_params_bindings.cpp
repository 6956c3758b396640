// Layer enumerations and LayerParams.
#include <pybind11/stl.h>

#include <map>
#include <memory>
#include <string>

#include "engine_api/layer_params.h"
#include "python/compound_param_names.h"
#include "python/registration.h"

namespace morla::python {

namespace {

constexpr const char* kInitDoc = R"(
        Create a generic LayerParams object.

        Args:
            layer_type (:obj:`LayerType`): Type of layer.
            entries (dict): dictionary of key (string) and value (int) pairs.
    )";

constexpr const char* kGetDoc = R"(
        Retrieve a value from the LayerParams object.

        Args:
            key (str): key of the value.
        Returns:
            int: value associated to the key.
        Raises:
            ValueError: if the value is not present in the LayerParams object.
    )";

constexpr const char* kHasDoc = R"(
        Check if a key is present in the LayerParams object.

        Args:
            key (str): key to be searched.
        Returns:
            bool: True if the key is present, otherwise false.
    )";

}  // namespace

void init_layer_params_bindings(py::module_& m) {
  init_layer_enums(m);

  py::class_<LayerParams, std::unique_ptr<LayerParams>>(m, "LayerParams",
                                                        "Parameters dictionary for layers")
      .def(py::init([](LayerType layer_type, const std::map<std::string, int32_t>& entries) {
             return LayerParams::create(layer_type, entries);
           }),
           py::arg("layer_type"), py::arg("entries"), kInitDoc)
      .def("get", &layer_params_getattr, py::arg("key"), kGetDoc)
      .def("__copy__", [](const LayerParams& self) { return LayerParams::clone(&self); })
      .def("__getattr__", &layer_params_getattr, py::arg("key"))
      .def("__dir__", &LayerParams::keys)
      .def("has", &LayerParams::has, py::arg("key"), kHasDoc)
      .def_property_readonly("layer_type", &LayerParams::layer_type);
}

}  // namespace morla::python
