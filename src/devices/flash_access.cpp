#include "devices/flash_access.h"

#include <stdexcept>

#include "core/device.h"
#include "engine_api/hardware_device.h"
#include "drivers/hardware_driver.h"

uint16_t SpiFlashController::get_id() {
  throw std::runtime_error("get_id function is not yet implemented");
}

namespace morla {

std::shared_ptr<SpiFlashController> get_board_flash(const Device& device) {
  const HardwareDevice* hardware = device.hardware();
  auto* access = hardware ? dynamic_cast<FlashAccessDriver*>(hardware->driver()) : nullptr;
  if (!access) throw std::invalid_argument("The device does not contain an MRL7700 flash");
  return access->flash();
}

}  // namespace morla
