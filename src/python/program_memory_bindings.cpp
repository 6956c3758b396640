// ProgramMemoryRequired and get_program_memory_infos.
#include "python/registration.h"

namespace morla::python {

void init_program_memory_bindings(py::module_&) {}

}  // namespace morla::python
