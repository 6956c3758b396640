// Layer-graph utilities (submodule graph_utils).
#include <pybind11/stl.h>

#include "contract/graph_utils.h"
#include "python/registration.h"

namespace morla::python {

void init_graph_utils_bindings(py::module_& graph_utils) {
  graph_utils.def("extract_main_branch",
                  [](const LayerPtr& layer) { return extract_branches(layer).first; });
  graph_utils.def("extract_skip_branch",
                  [](const LayerPtr& layer) { return extract_branches(layer).second; });
  graph_utils.def("get_mappable_layer", &get_mappable_layer);
  graph_utils.def("dual_output_to_store_dma", &dual_output_to_store_dma);
  graph_utils.def("first_mappable_layer", &first_mappable_layer);
  graph_utils.def("last_mappable_layer", &last_mappable_layer);
  graph_utils.def("next_mappable_layer", &next_mappable_layer);
  graph_utils.def("previous_mappable_layer", &previous_mappable_layer);
  graph_utils.def("is_merge_layer", &is_merge_layer);
}

}  // namespace morla::python
