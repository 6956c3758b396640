#pragma once
// Current/voltage monitors of the INA family on a power-monitor bus.
#include <cstdint>
#include <memory>

#include "drivers/monitor_bus.h"

namespace morla::soc {

class INA {
 public:
  INA(HardwareDriver& bus, uint8_t address, const MonitorBus& functions)
      : bus_(bus), address_(address), functions_(functions) {}
  virtual ~INA() = default;
  // std::runtime_error "Unable to init INA: failed to send to bus: <status>"; the
  // status shows in decimal with its name, "-6 (no acknowledge)".
  virtual void init() = 0;
  // Microvolts; std::runtime_error "Unable to get INA voltage: failed to read bus: <status>".
  virtual uint32_t voltage() = 0;
  // Milliamperes; std::runtime_error "Unable to get INA current: failed to read bus: <status>".
  virtual uint32_t current() = 0;

 protected:
  void write_word(uint8_t reg, uint16_t value, bool low_first);
  uint16_t read_word(uint8_t reg, bool low_first, const char* what);

 private:
  HardwareDriver& bus_;
  uint8_t address_;
  MonitorBus functions_;
};

// PMBus registers, low byte first. The current register is signed: a current
// flowing back reads as 0 mA, whose power the meter drops.
class INA233 final : public INA {
 public:
  using INA::INA;
  void init() override;
  uint32_t voltage() override;
  uint32_t current() override;
};

// Registers high byte first.
class INA231 final : public INA {
 public:
  using INA::INA;
  void init() override;
  uint32_t voltage() override;
  uint32_t current() override;
};

inline constexpr uint8_t kMonitorAddress = 0x40;
inline constexpr uint8_t kModelRegister = 0xE1;  // answers "33" on an INA233

// An INA233 when the model register reads '3','3', else an INA231 (a bus error included).
std::unique_ptr<INA> make_ina(HardwareDriver& bus, uint8_t address, const MonitorBus& functions);

}  // namespace morla::soc
