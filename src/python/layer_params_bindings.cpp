// Layer enumerations and LayerParams.
#include "python/registration.h"

namespace morla::python {

void init_layer_params_bindings(py::module_&) {}

}  // namespace morla::python
