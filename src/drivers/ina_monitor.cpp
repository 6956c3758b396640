#include "drivers/ina_monitor.h"

#include <stdexcept>
#include <string>

namespace morla::soc {
namespace {

constexpr uint16_t kConfiguration = 0x0727;
constexpr uint32_t kMicrovoltsPerStep = 1250;

// Steps of 2.5 mA, truncated.
uint32_t milliamperes(uint16_t steps) { return uint32_t{steps} * 5 / 2; }

}  // namespace

void INA::write_word(uint8_t reg, uint16_t value, bool low_first) {
  uint8_t bytes[2] = {static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value)};
  if (low_first) std::swap(bytes[0], bytes[1]);
  if (const int rc = write_(bus_, address_, reg, bytes, 2); rc != 0)
    throw std::runtime_error("Unable to init INA: failed to send to bus: " + std::to_string(rc));
}

uint16_t INA::read_word(uint8_t reg, bool low_first, const char* what) {
  uint8_t bytes[2] = {};
  if (const int rc = read_(bus_, address_, reg, bytes, 2); rc != 0)
    throw std::runtime_error(std::string("Unable to get INA ") + what +
                             ": failed to read bus: " + std::to_string(rc));
  return low_first ? static_cast<uint16_t>(bytes[0] | bytes[1] << 8)
                   : static_cast<uint16_t>(bytes[0] << 8 | bytes[1]);
}

void INA233::init() { write_word(0xD0, kConfiguration, true); }
uint32_t INA233::voltage() { return read_word(0x88, true, "voltage") * kMicrovoltsPerStep; }
uint32_t INA233::current() { return milliamperes(read_word(0xD1, true, "current")); }

void INA231::init() { write_word(0x00, kConfiguration, false); }
uint32_t INA231::voltage() { return read_word(0x02, false, "voltage") * kMicrovoltsPerStep; }
uint32_t INA231::current() { return milliamperes(read_word(0x01, false, "current")); }

std::unique_ptr<INA> make_ina(HardwareDriver& bus, uint8_t address, BusTransfer write,
                              BusTransfer read) {
  uint8_t model[2] = {};
  if (read(bus, address, kModelRegister, model, 2) == 0 && model[0] == '3' && model[1] == '3')
    return std::make_unique<INA233>(bus, address, write, read);
  return std::make_unique<INA231>(bus, address, write, read);
}

}  // namespace morla::soc
