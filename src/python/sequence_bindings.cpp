// ProgramParts, Sequence and Pass.
#include "python/registration.h"

namespace morla::python {

void init_sequence_bindings(py::module_&) {}

}  // namespace morla::python
