#include "drivers/hardware_driver.h"

namespace morla {

uint32_t read_register(HardwareDriver& driver, uint32_t address) {
  uint32_t value = 0;
  driver.read(address, &value, sizeof value);
  return value;
}

void write_register(HardwareDriver& driver, uint32_t address, uint32_t value) {
  driver.write(address, &value, sizeof value);
}

}  // namespace morla
