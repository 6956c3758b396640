#pragma once
// The operations every power-monitor bus controller offers: a register write or
// read of a device on the bus, and a clear. Each returns 0 or a negative status
// of the controller's own vocabulary.
#include <cstdint>

#include "drivers/hardware_driver.h"
#include "drivers/status_text.h"

namespace morla::soc {

// (bus, 7-bit device address, register number, bytes, byte count) -> status.
using BusTransfer = int (*)(HardwareDriver& bus, uint8_t device, uint8_t reg, uint8_t* bytes,
                            int32_t count);
using BusClear = int (*)(HardwareDriver& bus);

// One controller, as the power monitor and its sampling thread use it.
struct MonitorBus {
  BusTransfer write;
  BusTransfer read;
  BusClear clear;
  StatusName status_name;
};

}  // namespace morla::soc
