#pragma once
// Current/voltage monitors of the INA family on a power-monitor bus.
#include <cstdint>
#include <memory>

#include "drivers/monitor_bus.h"

namespace morla::soc {

class INA {
 public:
  INA(HardwareDriver& bus, uint8_t address, BusTransfer write, BusTransfer read)
      : bus_(bus), address_(address), write_(write), read_(read) {}
  virtual ~INA() = default;
  // std::runtime_error "Unable to init INA: failed to send to bus: <status>".
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
  BusTransfer write_;
  BusTransfer read_;
};

// PMBus registers, low byte first.
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
std::unique_ptr<INA> make_ina(HardwareDriver& bus, uint8_t address, BusTransfer write,
                              BusTransfer read);

}  // namespace morla::soc
