// boardMrl7700.get_flash and SpiFlashController.
#include "python/registration.h"

namespace morla::python {

void init_board_flash_bindings(py::module_&, py::module_&) {}

}  // namespace morla::python
