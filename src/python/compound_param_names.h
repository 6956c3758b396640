#pragma once
// Two-axis names for parameters the engine keeps as one key per axis, and the parameter
// read that uses them.
#include <pybind11/pybind11.h>

#include <map>
#include <string>
#include <vector>

#include "engine_api/layer_params.h"

namespace morla::python {

namespace py = pybind11;

// Compound name -> component keys, x (width) first. Built when the module is loaded.
extern const std::map<std::string, std::vector<std::string>> compound_param_names;

// A real key of the parameters gives its integer; else a compound name gives the list of
// its components' integers; else std::invalid_argument "Key <key> not found".
py::object layer_params_getattr(const LayerParams& params, const std::string& key);

}  // namespace morla::python
