#pragma once
// Read-modify-write helpers over single 32-bit registers, all through the driver's
// own read and write.
#include <cstdint>

#include "drivers/hardware_driver.h"

namespace morla {

inline void set_register_bits(HardwareDriver& driver, uint32_t address, uint32_t mask) {
  write_register(driver, address, read_register(driver, address) | mask);
}

inline void clear_register_bits(HardwareDriver& driver, uint32_t address, uint32_t mask) {
  write_register(driver, address, read_register(driver, address) & ~mask);
}

// True when any bit of `mask` is set.
inline bool test_register_bits(HardwareDriver& driver, uint32_t address, uint32_t mask) {
  return (read_register(driver, address) & mask) != 0;
}

}  // namespace morla
