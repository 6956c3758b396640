// Layer and Layer.Mapping.
#include <pybind11/stl.h>

#include <memory>
#include <string>
#include <vector>

#include "engine_api/layer.h"
#include "engine_api/layer_impl.h"
#include "engine_api/layer_params.h"
#include "engine_api/variables.h"
#include "core/hw_type.h"
#include "contract/component.h"
#include "contract/layer_mapping.h"
#include "python/registration.h"

namespace morla::python {

namespace {

constexpr const char* kComponentListDoc = "a list of ``NP.Component`` objects.";

// One flat list for a single input, else one list per input.
py::object input_dims_of(const Layer& layer) {
  std::vector<Shape> shapes;
  if (const auto* impl = dynamic_cast<const LayerImpl*>(&layer))
    shapes = impl->input_shapes();
  else if (const Shape shape = layer.input_dims(); shape.size() != 0)
    shapes.push_back(shape);
  auto dims = [](const Shape& shape) { return std::vector<uint32_t>(shape.begin(), shape.end()); };
  if (shapes.size() == 1) return py::cast(dims(shapes.front()));
  py::list out;
  for (const auto& shape : shapes) out.append(py::cast(dims(shape)));
  return out;
}

void bind_mapping(py::class_<Layer, std::shared_ptr<Layer>>& layer) {
  py::class_<Layer::Mapping, std::shared_ptr<Layer::Mapping>>(
      layer, "Mapping", "The mapping of a Layer on one or more Neural Processors.")
      .def_property_readonly(
          "nps",
          [](const Layer::Mapping& self) {
            // A mapping without a component list has no NPs.
            return self.nps ? *self.nps : std::vector<hw::Component>{};
          },
          kComponentListDoc)
      .def_property_readonly(
          "skipdma_loads",
          [](const Layer::Mapping& self) {
            std::vector<hw::Component> loads;
            if (const auto* mapping = dynamic_cast<const LayerMapping*>(&self))
              if (const hw::Component* load = skip_dma_load(*mapping)) loads.push_back(*load);
            return loads;
          },
          kComponentListDoc)
      .def_property_readonly(
          "skipdma_stores",
          [](const Layer::Mapping& self) {
            std::vector<hw::Component> stores;
            if (const auto* mapping = dynamic_cast<const LayerMapping*>(&self)) {
              if (const hw::Component* store = output_skip_dma_store(*mapping))
                stores.push_back(*store);
              if (const hw::Component* store = dual_skip_dma_store(*mapping))
                stores.push_back(*store);
            }
            return stores;
          },
          kComponentListDoc);
}

}  // namespace

void init_layer_bindings(py::module_& m) {
  py::class_<Layer, std::shared_ptr<Layer>> layer(m, "Layer");
  layer
      .def(py::init([](const LayerParams* params, const std::string& name) {
             return Layer::create(params, name);
           }),
           py::arg("params"), py::arg("name"))
      .def(
          "is_target_component",
          [](const Layer& self, hw::Type hw_type) {
            return self.is_target_component(component_kind(hw_type));
          },
          py::arg("hw_type"),
          "Checks whether the layer can be mapped on the specified hardware component type. ")
      .def_property_readonly(
          "name", [](const Layer& self) { return py::str(self.name()); }, "The layer name.")
      .def_property_readonly("macs", &Layer::macs, "The number of multiply-accumulate operations.")
      .def_property_readonly("input_dims", &input_dims_of, "The layer input dimensions.")
      .def_property_readonly(
          "output_dims",
          [](const Layer& self) {
            const Shape shape = self.output_dims();
            return std::vector<uint32_t>(shape.begin(), shape.end());
          },
          "The layer output dimensions.")
      .def_property_readonly(
          "variables",
          // The store lives inside the layer: the returned object shares the layer's ownership.
          [](const std::shared_ptr<Layer>& self) {
            return std::shared_ptr<Variables>(self, &self->variables());
          },
          "The layer trainable variables.")
      .def_property_readonly(
          "parameters", [](const Layer& self) { return self.params(); },
          py::return_value_policy::reference_internal, "The layer parameters set.")
      .def_property_readonly(
          "input_bits", [](const Layer& self) { return static_cast<uint8_t>(self.input_bits()); },
          "The layer input bits.")
      .def_property_readonly("output_signed", &Layer::output_signed,
                             "Whether output is signed or not.")
      .def_property_readonly("inbounds", &Layer::inbounds, "The layer inbound layers.")
      .def_property_readonly(
          "mapping", [](const Layer& self) { return self.mapping(); },
          "The layer hardware mapping.")
      .def_property_readonly("splittable", &Layer::splittable, "The layer is splittable.");
  bind_mapping(layer);
}

}  // namespace morla::python
