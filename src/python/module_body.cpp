// The module body: docstring, version, then every registration in its fixed order.
#include "engine_api/engine.h"
#include "core/enums.h"
#include "python/registration.h"

namespace morla::python {

void init_backend_type(py::module_& m) {
  py::enum_<BackendType>(m, "BackendType")
      .value("Software", BackendType::Software)
      .value("Hardware", BackendType::Hardware)
      .value("Hybrid", BackendType::Hybrid)
      .export_values();
}

void init_core_module(py::module_& m) {
  m.attr("__doc__") = "Morla core library";       // 1
  const char* engine_version = morla::version();  // 2
  m.attr("__version__") = engine_version ? py::object(py::str(engine_version)) : py::none();
  init_backend_type(m);                     // 3
  init_model_bindings(m);                   // 4
  init_layer_bindings(m);                   // 5
  init_layer_params_bindings(m);            // 6
  init_optimizer_bindings(m);               // 7
  init_variables_bindings(m);               // 8
  init_metrics_bindings(m);                 // 9
  init_device_bindings(m);                  // 10
  init_soc_driver_bindings(m);              // 11
  init_hardware_device(m);                  // 12
  init_hw_version_bindings(m);              // 13
  init_device_version_constants(m);         // 14
  init_np_mesh_bindings(m);                 // 15
  init_np_component_bindings(m);            // 16
  init_map_constraints_bindings(m);         // 17
  init_sequence_bindings(m);                // 18
  init_power_bindings(m);                   // 19
  init_soc_module(m);                       // 20
  init_program_memory_bindings(m);          // 21
  auto nn = m.def_submodule("nn", kNnDoc);  // 22
  init_nn_bindings(nn);
  init_ip_version_bindings(m);                              // 23
  auto board = m.def_submodule("boardMrl7700", kBoardDoc);  // 24
  init_board_flash_bindings(m, board);
  auto graph_utils = m.def_submodule("graph_utils", kGraphUtilsDoc);  // 25
  init_graph_utils_bindings(graph_utils);
}

}  // namespace morla::python
