// Submodule NP: SRAM sizes and the mesh.
#include "python/registration.h"

namespace morla::python {

void init_np_mesh_bindings(py::module_& m) { m.def_submodule("NP", kNpDoc); }

}  // namespace morla::python
