#pragma once
// The SoC's I3C master controller, driven register by register from the host.
#include <cstdint>

#include "drivers/driver_deadlines.h"
#include "drivers/hardware_driver.h"
#include "drivers/monitor_bus.h"

namespace morla::soc::i3c {

inline constexpr uint32_t kControl = 0xF000B010;  // bit 31 enable, bit 29 start command
inline constexpr uint32_t kSetup14 = 0xF000B014;
inline constexpr uint32_t kSetup18 = 0xF000B018;
inline constexpr uint32_t kSetup20 = 0xF000B020;
inline constexpr uint32_t kEventControl = 0xF000B02C;
inline constexpr uint32_t kEvents = 0xF000B030;  // bit 1 responses drained, 2 done, 6 rx drained
inline constexpr uint32_t kStatus =
    0xF000B034;  // bit 0 no response, 2 rx empty, 13 tx full, 18 idle
inline constexpr uint32_t kResponse = 0xF000B038;
inline constexpr uint32_t kCommand0 = 0xF000B060;
inline constexpr uint32_t kCommand1 = 0xF000B064;
inline constexpr uint32_t kTxData = 0xF000B068;
inline constexpr uint32_t kRxData = 0xF000B080;
inline constexpr uint32_t kSetup90 = 0xF000B090;
inline constexpr uint32_t kSetup9C = 0xF000B09C;
inline constexpr uint32_t kDeviceEnable = 0xF000B0B8;
inline constexpr uint32_t kSetupC0 = 0xF000B0C0;
inline constexpr uint32_t kDeviceAddress = 0xF000B0D0;

inline constexpr uint32_t kDeviceDisableAll = 0x00FE0000;
// Device numbers 1 to 7 can be registered.
inline constexpr uint32_t kDeviceSlots = 8;
// How long each awaited condition may take unless told otherwise.
inline constexpr std::chrono::milliseconds kWait = DriverDeadlines{}.i3c_wait;

enum Status : int {
  kOk = 0,
  kResponseError = -2,    // the response reports an error
  kNoCompletion = -4,     // the command did not complete in time
  kWrongIdentifier = -7,  // the response answers another command
  kWrongLength = -8,      // a read's response has another length
  kNotIdle = -9,          // the controller did not become idle
  kDrainTimeout = -10,    // a queue did not drain in time
};
const char* status_name(int status);

// `wait` bounds each awaited condition: the controller idle, a queue drained, a command
// complete.
int clear(HardwareDriver& bus, std::chrono::milliseconds wait = kWait);
int init(HardwareDriver& bus, std::chrono::milliseconds wait = kWait);
int write(HardwareDriver& bus, uint8_t device, uint8_t reg, uint8_t* bytes, int32_t count,
          std::chrono::milliseconds wait = kWait);
int read(HardwareDriver& bus, uint8_t device, uint8_t reg, uint8_t* bytes, int32_t count,
         std::chrono::milliseconds wait = kWait);

// The controller with each awaited condition bounded by `wait`.
constexpr MonitorBus monitor_bus(std::chrono::milliseconds wait = kWait) {
  return {write, read, clear, status_name, wait};
}

// The registered devices and the command identifiers are process-wide, shared by
// every board; a lock keeps them whole when two boards measure power at once.
// How many device numbers are in use (1 when none is registered).
uint32_t registered_device_count();

}  // namespace morla::soc::i3c
