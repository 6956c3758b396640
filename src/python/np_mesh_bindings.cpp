// Submodule NP: SRAM sizes and the mesh.
#include <pybind11/stl.h>

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "core/mesh.h"
#include "python/registration.h"

namespace morla::python {
namespace {

void bind_sram_size(py::module_& np) {
  py::class_<SramSize>(np, "SramSize", "Size of shared SRAM available inside the mesh.\n      ")
      .def_readwrite("input_bytes", &SramSize::input_bytes,
                     "Size of shared input packet SRAM available inside the mesh for each two "
                     "NPs. (Bytes).")
      .def_readwrite("weight_bytes", &SramSize::weight_bytes,
                     "Size of shared filter SRAM available inside the mesh for each two NPs. "
                     "(Bytes).")
      .def_readwrite("stsram_32b_size", &SramSize::stsram_32b_size,
                     "Size of STSRAM in 32-bit words (Mote only).")
      .def_readwrite("fsram_64b_size", &SramSize::fsram_64b_size,
                     "Size of FSRAM in 64-bit words (Mote only).")
      .def_readwrite("tsram_51b_size", &SramSize::tsram_51b_size,
                     "Size of TSRAM in 51-bit words (Mote only).")
      .def_readwrite("evsram_32b_size", &SramSize::evsram_32b_size,
                     "Size of EVSRAM in 32-bit words (Mote only).")
      .def(py::init<>())
      // Constructor arguments are signed and stored bit for bit.
      .def(py::init([](int32_t input_bytes, int32_t weight_bytes) {
             SramSize s;
             s.input_bytes = static_cast<uint32_t>(input_bytes);
             s.weight_bytes = static_cast<uint32_t>(weight_bytes);
             return s;
           }),
           py::arg("input_bytes"), py::arg("weight_bytes"))
      .def(py::init([](int32_t stsram, int32_t fsram, int32_t tsram, int32_t evsram) {
             SramSize s;
             s.stsram_32b_size = static_cast<uint32_t>(stsram);
             s.fsram_64b_size = static_cast<uint32_t>(fsram);
             s.tsram_51b_size = static_cast<uint32_t>(tsram);
             s.evsram_32b_size = static_cast<uint32_t>(evsram);
             return s;
           }),
           py::arg("stsram_32b_size"), py::arg("fsram_64b_size"), py::arg("tsram_51b_size"),
           py::arg("evsram_32b_size"))
      .def(
          "__eq__", [](const SramSize& a, const SramSize& b) { return a == b; }, py::is_operator(),
          py::arg("other"));

  // The constants are handed out as new copies on every access (a module __getattr__), so
  // that writing a field of one changes neither the constant nor the mesh defaults.
  static const std::pair<const char*, IpVersion> kConstants[] = {
      {"SramSize_v1", IpVersion::v1},
      {"SramSize_v2", IpVersion::v2},
      {"SramSize_mote", IpVersion::mote}};
  const std::string module_name = py::str(np.attr("__name__"));
  np.def("__getattr__", [module_name](const std::string& name) -> py::object {
    for (const auto& [constant, version] : kConstants)
      if (name == constant) return py::cast(default_sram_size(version));
    throw py::attribute_error("module '" + module_name + "' has no attribute '" + name + "'");
  });
  // A handle, not an owner: the module outlives its own functions.
  np.def("__dir__", [module = py::handle(np)]() {
    py::list names = py::module_::import("builtins").attr("sorted")(module.attr("__dict__"));
    for (const auto& [constant, version] : kConstants) names.append(constant);
    return names;
  });
}

void bind_mesh(py::module_& np) {
  using Infos = std::vector<np::Info>;
  // NP records are handed out as copies, so that replacing a list or the HRC of a mesh
  // never leaves a Python object pointing into freed storage.
  py::class_<Mesh>(np, "Mesh",
                   "\n    Represents the layout of a mesh of Neural Processors.\n\n"
                   "    Contains configuration and event endpoints related to DMA (Direct Memory "
                   "Access)\n    for managing data transfer across the mesh, HRC availability "
                   "and sram memory sizes.\n    ")
      .def_readwrite("dma_event", &Mesh::dma_event, "DMA event endpoint")
      .def_readwrite("dma_conf", &Mesh::dma_conf, "DMA configuration endpoint")
      .def_property(
          "hrc", [](const Mesh& mesh) { return mesh.hrc; },
          [](Mesh& mesh, std::optional<np::Info> hrc) { mesh.hrc = std::move(hrc); },
          "HRC if installed.")
      .def_property(
          "skip_dmas", [](const Mesh& mesh) { return mesh.skip_dmas; },
          [](Mesh& mesh, Infos infos) { mesh.skip_dmas = std::move(infos); }, "Skip DMAs")
      .def_property(
          "nps", [](const Mesh& mesh) { return mesh.nps; },
          [](Mesh& mesh, Infos infos) { mesh.nps = std::move(infos); }, "Neural processors")
      .def_readwrite("np_sram_size", &Mesh::np_sram_size,
                     "Size of shared SRAM available inside the mesh for NPs.")
      .def(py::init<IpVersion, const hw::Ident&, const hw::Ident&, std::optional<np::Info>, Infos,
                    Infos>(),
           py::arg("version"), py::arg("dma_event"), py::arg("dma_conf"), py::arg("hrc"),
           py::arg("nps"), py::arg("skip_dmas") = Infos{})
      .def(py::init([](IpVersion version, const hw::Ident& dma_event, const hw::Ident& dma_conf,
                       std::optional<np::Info> hrc, Infos nps, Infos skip_dmas,
                       const SramSize& np_sram_size) {
             Mesh mesh(version, dma_event, dma_conf, std::move(hrc), std::move(nps),
                       std::move(skip_dmas));
             mesh.np_sram_size = np_sram_size;
             return mesh;
           }),
           py::arg("version"), py::arg("dma_event"), py::arg("dma_conf"), py::arg("has_hrc"),
           py::arg("nps"), py::arg("skip_dmas") = Infos{}, py::arg("np_sram_size"))
      .def(
          "__eq__", [](const Mesh& a, const Mesh& b) { return a == b; }, py::is_operator(),
          py::arg("other"));
}

}  // namespace

void init_np_mesh_bindings(py::module_& m) {
  auto np = m.def_submodule("NP", kNpDoc);
  bind_sram_size(np);
  bind_mesh(np);
}

}  // namespace morla::python
