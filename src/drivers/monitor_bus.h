#pragma once
// The operations every power-monitor bus controller offers: a register write or
// read of a device on the bus, and a clear. Each returns 0 or a negative status
// of the controller's own vocabulary, and waits on the controller at most `wait` per
// awaited condition.
#include <chrono>
#include <cstdint>

#include "drivers/hardware_driver.h"
#include "drivers/status_text.h"

namespace morla::soc {

// (bus, 7-bit device address, register number, bytes, byte count, wait) -> status.
using BusTransfer = int (*)(HardwareDriver& bus, uint8_t device, uint8_t reg, uint8_t* bytes,
                            int32_t count, std::chrono::milliseconds wait);
using BusClear = int (*)(HardwareDriver& bus, std::chrono::milliseconds wait);

// One controller, as the power monitor and its sampling thread use it, with the wait
// its operations are given.
struct MonitorBus {
  BusTransfer write;
  BusTransfer read;
  BusClear clear;
  StatusName status_name;
  std::chrono::milliseconds wait;
};

}  // namespace morla::soc
