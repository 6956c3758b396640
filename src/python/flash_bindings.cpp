// boardMrl7700.get_flash and SpiFlashController.
#include <memory>
#include <stdexcept>

#include "devices/flash_access.h"
#include "python/py_hardware_device.h"
#include "python/registration.h"

namespace morla::python {

void init_board_flash_bindings(py::module_& m, py::module_& board) {
  board.def("get_flash", [](std::shared_ptr<PyHardwareDevice> device) {
    if (!device) throw std::invalid_argument("The device does not contain an MRL7700 flash");
    return get_board_flash(*device);
  });
  py::class_<SpiFlashController, std::shared_ptr<SpiFlashController>>(m, "SpiFlashController")
      .def("get_id", &SpiFlashController::get_id);
}

}  // namespace morla::python
