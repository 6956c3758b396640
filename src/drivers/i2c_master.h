#pragma once
// The SoC's I2C master controller, driven register by register from the host.
#include <cstdint>

#include "drivers/driver_deadlines.h"
#include "drivers/hardware_driver.h"
#include "drivers/monitor_bus.h"

namespace morla::soc::i2c {

inline constexpr uint32_t kStatus = 0xF000A000;   // bit 7 bus taken, bit 4 no acknowledge
inline constexpr uint32_t kControl = 0xF000A004;  // bit 0 done, 3 ack, 4 transfer, 7 error
inline constexpr uint32_t kSetup = 0xF000A008;    // bit 5 clear: the set-up has been lost
inline constexpr uint32_t kReg0C = 0xF000A00C;
inline constexpr uint32_t kData = 0xF000A010;
inline constexpr uint32_t kTiming = 0xF000A014;
inline constexpr uint32_t kReg18 = 0xF000A018;
inline constexpr uint32_t kReg1C = 0xF000A01C;

inline constexpr uint32_t kSetupValue = 0x71;
inline constexpr uint32_t kControlSetupValue = 0x46;
inline constexpr uint32_t kSetupLostBit = 1u << 5;
inline constexpr uint8_t kLargestDevice = 119;
// How long a phase may take unless told otherwise, and how often a read tries its
// register byte.
inline constexpr std::chrono::milliseconds kWait = DriverDeadlines{}.i2c_phase;
inline constexpr int kRegisterAttempts = 5;

enum Status : int {
  kOk = 0,
  kBusy = -1,          // the bus is taken at the start
  kTimeoutReset = -2,  // a phase timed out; the controller was set up again
  kBadDevice = -3,     // device address above 119
  kTimeout = -4,       // a phase timed out, error bit clear
  kNoBus = -5,         // the address phase did not take the bus
  kNoAck = -6,         // no acknowledge
};
const char* status_name(int status);

// `wait` bounds each phase of a transfer; clear and init wait for nothing.
int clear(HardwareDriver& bus, std::chrono::milliseconds wait = kWait);
int init(HardwareDriver& bus);
// True when `device` acknowledges its address.
bool probe(HardwareDriver& bus, uint8_t device, std::chrono::milliseconds wait = kWait);
int write(HardwareDriver& bus, uint8_t device, uint8_t reg, uint8_t* bytes, int32_t count,
          std::chrono::milliseconds wait = kWait);
int read(HardwareDriver& bus, uint8_t device, uint8_t reg, uint8_t* bytes, int32_t count,
         std::chrono::milliseconds wait = kWait);

// The controller with each phase bounded by `wait`.
constexpr MonitorBus monitor_bus(std::chrono::milliseconds wait = kWait) {
  return {write, read, clear, status_name, wait};
}

}  // namespace morla::soc::i2c
