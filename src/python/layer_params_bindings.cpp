// Layer enumerations and LayerParams.
#include "python/registration.h"

namespace morla::python {

void init_layer_params_bindings(py::module_& m) {
  init_layer_enums(m);
}

}  // namespace morla::python
