#pragma once
// One registration function per step of the module body, called in order by
// init_core_module. Each area's bindings live in their own source file.
#include <pybind11/pybind11.h>

namespace morla::python {

namespace py = pybind11;

void init_core_module(py::module_& m);

void init_backend_type(py::module_& m);              // step 3
void init_model_bindings(py::module_& m);            // step 4
void init_layer_bindings(py::module_& m);            // step 5
void init_layer_params_bindings(py::module_& m);     // step 6
void init_layer_enums(py::module_& m);               // step 6, first part
void init_optimizer_bindings(py::module_& m);        // step 7
void init_variables_bindings(py::module_& m);        // step 8
void init_metrics_bindings(py::module_& m);          // step 9
void init_device_bindings(py::module_& m);           // step 10
void init_soc_driver_bindings(py::module_& m);       // step 11
void init_hardware_device(py::module_& m);           // step 12
void init_hw_version_bindings(py::module_& m);       // step 13
void init_device_version_constants(py::module_& m);  // step 14
void init_np_mesh_bindings(py::module_& m);          // step 15 (creates NP)
void init_np_component_bindings(py::module_& m);     // step 16
void init_map_constraints_bindings(py::module_& m);  // step 17
void init_sequence_bindings(py::module_& m);         // step 18
void init_power_bindings(py::module_& m);            // step 19
void init_soc_module(py::module_& m);                // step 20 (creates soc)
void init_program_memory_bindings(py::module_& m);   // step 21
void init_nn_bindings(py::module_& nn);              // step 22, given the nn submodule
void init_ip_version_bindings(py::module_& m);       // step 23
void init_board_flash_bindings(py::module_& m, py::module_& board);  // step 24
void init_graph_utils_bindings(py::module_& graph_utils);            // step 25

// Submodule docstrings.
inline constexpr const char* kNpDoc = "Neural Processor";
inline constexpr const char* kSocDoc = "Morla Orbi specific functions";
inline constexpr const char* kNnDoc =
    "Morla Neural Network software internal functions. These are meant for testing, debugging "
    "and validation only.";
inline constexpr const char* kBoardDoc =
    "Spi flash controller for the mrl7700meant for testing, debugging and validation only.";
inline constexpr const char* kGraphUtilsDoc =
    "Morla graph utilities software internal functions. These are meant for testing, debugging "
    "and validation only.";

}  // namespace morla::python
