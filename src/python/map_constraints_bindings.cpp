// MapConstraints, with the trampoline through which a Python subclass overrides its hooks.
#include <pybind11/stl.h>

#include <memory>
#include <string>
#include <vector>

#include "core/device.h"
#include "mapping/map_constraints.h"
#include "python/registration.h"

namespace morla::python {
namespace {

// A None inside the result fails as a reference cast, which the dispatcher of a Python call
// would take for an argument mismatch of the calling method: report it, and every other
// result that is no list of NP.Ident, as a cast error that names the result.
[[noreturn]] void refuse_selection(const py::object& result) {
  throw py::cast_error("Unable to cast the result of select_nps (" +
                       std::string(py::str(py::repr(result))) + ") to a list of NP.Ident");
}

std::vector<hw::Ident> selected_idents(const py::object& result) {
  try {
    return result.cast<std::vector<hw::Ident>>();
  } catch (const py::reference_cast_error&) {
    refuse_selection(result);
  } catch (const py::cast_error&) {
    refuse_selection(result);
  }
}

// The hooks may be called by a mapping from any thread, so each override takes the GIL
// itself. The native object does not keep its Python object alive: once that object is
// gone no override is found and the defaults run.
class PyMapConstraints : public MapConstraints {
 public:
  using MapConstraints::MapConstraints;

  void next_layer_handler(const std::string& layer_name) const override {
    {
      py::gil_scoped_acquire gil;
      py::function override =
          py::get_override(static_cast<const MapConstraints*>(this), "next_layer_handler");
      if (override) {
        override(py::str(layer_name));
        return;
      }
    }
    MapConstraints::next_layer_handler(layer_name);
  }

  std::vector<hw::Ident> select_nps(const std::vector<hw::Ident>& source_nps, size_t num_nps,
                                    hw::Type type) const override {
    {
      py::gil_scoped_acquire gil;
      py::function override =
          py::get_override(static_cast<const MapConstraints*>(this), "select_nps");
      if (override) {
        py::object result = override(source_nps, static_cast<uint64_t>(num_nps), type);
        return selected_idents(result);
      }
    }
    return MapConstraints::select_nps(source_nps, num_nps, type);
  }
};

}  // namespace

void init_map_constraints_bindings(py::module_& m) {
  py::class_<MapConstraints, PyMapConstraints, std::shared_ptr<MapConstraints>>(m, "MapConstraints")
      .def(py::init<const std::shared_ptr<Device>&>(), py::arg("device"),
           "Obtain hardware constraints from a device.\n\n           Args:\n"
           "              device(morla.device): the device.")
      .def_property_readonly("cnp_max_width_default", &MapConstraints::cnp_max_width_default,
                             "The maximal width to map a CNP.\n\n"
                             "                             Returns:\n"
                             "                                int: the maximal witdh")
      .def_property_readonly("cnp_max_height_default", &MapConstraints::cnp_max_height_default,
                             "The maximal height to map a CNP.\n\n"
                             "                             Returns:\n"
                             "                                int: the maximal height")
      .def_property_readonly("cnp_max_filters_default", &MapConstraints::cnp_max_filters_default,
                             "The maximal filters number to map a CNP.")
      .def_property_readonly("device", &MapConstraints::device,
                             "Return the device used.\n\n"
                             "                             Returns:\n"
                             "                                :obj:`morla.device`: the device.")
      .def_property("cnp_max_width", &MapConstraints::cnp_max_width,
                    &MapConstraints::set_cnp_max_width, "The width to use to map a CNP.")
      .def_property("cnp_max_height", &MapConstraints::cnp_max_height,
                    &MapConstraints::set_cnp_max_height, "The height to use to map a CNP.")
      .def_property("cnp_max_filters", &MapConstraints::cnp_max_filters,
                    &MapConstraints::set_cnp_max_filters, "The filters number to use to map a CNP.")
      .def_property("hwpr_loopitself", &MapConstraints::hwpr_loopitself,
                    &MapConstraints::set_hwpr_loopitself, "The HWPR NP loopitself feature.")
      .def("next_layer", &MapConstraints::next_layer_handler, py::arg("layer_name"),
           "\n           Callback on the layer mapping.\n\n           Args:\n"
           "             layer_name (str): the layer name")
      .def("select_nps", &MapConstraints::select_nps, py::arg("source_nps"), py::arg("num_nps"),
           py::arg("type"),
           "\n           Selection from a predefined list of NPs.\n\n           Args:\n"
           "             source_nps (:obj:`list`): the predefined list of NPs\n"
           "             num_nps (int): the number of NPs needed\n"
           "             type (:obj:`morla.NP.Type`): the type of NPs\n\n"
           "           Returns:\n"
           "             :obj:`list`: the selected list of NPs");
}

}  // namespace morla::python
