// NP identifiers, types, NP info, spaces, memory info and components.
#include <pybind11/operators.h>
#include <pybind11/stl.h>

#include <set>
#include <string>
#include <vector>

#include "core/mesh.h"
#include "contract/component.h"
#include "python/registration.h"

namespace morla::python {
namespace {

std::string ident_text(const hw::Ident& ident) {
  return "(" + std::to_string(ident.col) + ", " + std::to_string(ident.row) + ", " +
         std::to_string(ident.id) + ")";
}

// Only NP.Type values convert; the first item that does not stops with a cast error.
std::set<hw::Type> type_set(const py::iterable& items) {
  std::set<hw::Type> types;
  for (py::handle item : items) types.insert(item.cast<hw::Type>());
  return types;
}

void bind_ident(py::module_& np) {
  py::class_<hw::Ident>(np, "Ident",
                        "\n    Represents the unique identifier for a Hardware Component.\n\n"
                        "    This includes the component position on the mesh (row, column, id) "
                        "and\n    the channel index for skip DMAs.")
      .def_readwrite("col", &hw::Ident::col, "Hardware Component column number")
      .def_readwrite("row", &hw::Ident::row, "Hardware Component row number")
      .def_readwrite("id", &hw::Ident::id, "Hardware Component id")
      .def_readwrite("channel", &hw::Ident::channel, "Component channel")
      .def("__str__", &ident_text)
      .def("__repr__", &ident_text)
      .def(py::self == py::self)
      .def(py::init([](uint8_t col, uint8_t row, uint8_t id) {
        return hw::Ident{col, row, id, 0};
      }))
      .def(py::init([](uint8_t col, uint8_t row, uint8_t id, uint8_t channel) {
        return hw::Ident{col, row, id, channel};
      }));
}

void bind_type(py::module_& np) {
  // Registration order is part of the interface and differs from value order.
  py::enum_<hw::Type>(np, "Type", "Harwdare Component type")
      .value("HRC", hw::Type::HRC, "High Resolution Convolution")
      .value("CNP1", hw::Type::CNP1, "Convolutional Neural Processor Type 1")
      .value("CNP2", hw::Type::CNP2, "Convolutional Neural Processor Type 2")
      .value("FNP2", hw::Type::FNP2, "FullyConnected Neural Processor (external memory)")
      .value("FNP3", hw::Type::FNP3, "FullyConnected Neural Processor (internal memory)")
      .value("TNP_B", hw::Type::TNP_B, "Temporal Neural Processor Buffered")
      .value("TNP_R", hw::Type::TNP_R, "Temporal Neural Processor Recurrent")
      .value("SKIP_DMA_STORE", hw::Type::SKIP_DMA_STORE, "Skip DMA store engine")
      .value("SKIP_DMA_LOAD", hw::Type::SKIP_DMA_LOAD, "Skip DMA load engine")
      .export_values();
}

void bind_info(py::module_& np) {
  py::class_<np::Info>(np, "Info",
                       "\n        Describes a hardware component.\n\n        Includes its unique "
                       "identifier and the set of hardware types it supports.\n        ")
      .def_readwrite("ident", &np::Info::ident, "Hardware Component identifier")
      .def_property(
          "types",
          [](const np::Info& info) {
            return std::vector<hw::Type>(info.types.begin(), info.types.end());
          },
          [](np::Info& info, const py::iterable& types) { info.types = type_set(types); },
          "Hardware Component supported types")
      .def_readwrite("has_lut", &np::Info::has_lut, "Indicate whether the NP has a lookup table.")
      .def(py::init([](const hw::Ident& ident, const py::iterable& types, bool has_lut) {
             return np::Info{ident, type_set(types), has_lut};
           }),
           py::arg("ident"), py::arg("types"), py::arg("has_lut") = false)
      .def_static("hrc", &np::Info::hrc, py::arg("has_lut"),
                  "Construct an morla.NP.Info for HRC with optional LUT.")
      .def(py::self == py::self);
}

void bind_np_space(py::module_& np) {
  py::class_<NpSpace>(np, "NpSpace",
                      "\n      Represents the part of the input used by this Neural Processor if "
                      "a layer is split over several NPs.")
      .def_readonly("x", &NpSpace::x, "X index")
      .def_readonly("y", &NpSpace::y, "Y index")
      .def_property_readonly(
          "shape",
          [](const NpSpace& space) {
            return std::vector<uint32_t>(space.shape.begin(), space.shape.end());
          },
          "Shape of the space")
      .def(py::init<>());
}

void bind_memory_info(py::module_& np) {
  py::class_<MemoryInfo>(np, "MemoryInfo",
                         "Represents memory usage information for a Hardware Component.\n\n"
                         "      This includes memory used by inputs, weights, and any external "
                         "buffers.\n      All sizes are in bytes.\n      ")
      .def_readonly("input_size", &MemoryInfo::input_size, "Input memory size. (Bytes)")
      .def_readonly("weight_size", &MemoryInfo::weight_size, "Weight memory size. (Bytes)")
      .def_readonly("external_size", &MemoryInfo::external_size, "External memory size. (Bytes)")
      .def_readonly("stsram_32b_size", &MemoryInfo::stsram_32b_size,
                    "Stsram size for Mote. (Number of 32-bits words)")
      .def_readonly("fsram_64b_size", &MemoryInfo::fsram_64b_size,
                    "Fsram Mote memory size. (Number of 64-bits words)")
      .def_readonly("tsram_51b_size", &MemoryInfo::tsram_51b_size,
                    "Tsram Mote memory size. (Number of 51-bits words)")
      .def_readonly("evsram_32b_size", &MemoryInfo::evsram_32b_size,
                    "Evsram Mote memory size. (Number of 32-bits words)")
      .def(py::init<>())
      .def(py::self == py::self);
}

void bind_component(py::module_& np) {
  using hw::Component;
  py::class_<Component>(np, "Component", "\n      An Morla component")
      .def_readonly("ident", &Component::ident, "Hardware Component identifier")
      .def_readonly("type", &Component::type, "Hardware Component type")
      .def_readonly("mem_info", &Component::mem_info, "Hardware Component memory information")
      .def_property_readonly(
          "filters", [](const Component& c) { return c.np_block ? c.np_block->filters : 0u; },
          "Number of filters processed by the Neural Processor")
      .def_property_readonly(
          "start_neuron",
          [](const Component& c) { return c.np_block ? c.np_block->start_neuron : 0u; },
          "Index of the first filter processed by the Neural Processor")
      .def_property_readonly(
          "spatial_partition",
          [](const Component& c) { return c.np_block ? c.np_block->spatial_partition : NpSpace{}; },
          "Spatial partition processed by the Neural Processor")
      .def_property_readonly(
          "single_buffer",
          [](const Component& c) { return c.np_block ? c.np_block->single_buffer : true; },
          "Neural Processor uses a single or dual input buffer")
      .def(py::self == py::self);
}

}  // namespace

void init_np_component_bindings(py::module_& m) {
  auto np = m.def_submodule("NP", kNpDoc);
  bind_ident(np);
  bind_type(np);
  bind_info(np);
  bind_np_space(np);
  bind_memory_info(np);
  bind_component(np);
}

}  // namespace morla::python
