#include "drivers/ina_monitor.h"

#include <stdexcept>
#include <string>

namespace morla::soc {
namespace {

constexpr uint16_t kConfiguration = 0x0727;
constexpr uint32_t kMicrovoltsPerStep = 1250;

// Steps of 2.5 mA, truncated.
uint32_t milliamperes(uint16_t steps) { return uint32_t{steps} * 5 / 2; }

// Signed steps of 2.5 mA, truncated toward zero; a negative current counts as 0 mA.
uint32_t signed_milliamperes(uint16_t steps) {
  const int32_t milliamperes = int32_t{static_cast<int16_t>(steps)} * 5 / 2;
  return milliamperes > 0 ? static_cast<uint32_t>(milliamperes) : 0u;
}

}  // namespace

void INA::write_word(uint8_t reg, uint16_t value, bool low_first) {
  uint8_t bytes[2] = {static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value)};
  if (low_first) std::swap(bytes[0], bytes[1]);
  if (const int rc = functions_.write(bus_, address_, reg, bytes, 2, functions_.wait); rc != 0)
    throw std::runtime_error("Unable to init INA: failed to send to bus: " +
                             status_text(rc, functions_.status_name));
}

uint16_t INA::read_word(uint8_t reg, bool low_first, const char* what) {
  uint8_t bytes[2] = {};
  if (const int rc = functions_.read(bus_, address_, reg, bytes, 2, functions_.wait); rc != 0)
    throw std::runtime_error(std::string("Unable to get INA ") + what +
                             ": failed to read bus: " + status_text(rc, functions_.status_name));
  return low_first ? static_cast<uint16_t>(bytes[0] | bytes[1] << 8)
                   : static_cast<uint16_t>(bytes[0] << 8 | bytes[1]);
}

void INA233::init() { write_word(0xD0, kConfiguration, true); }
uint32_t INA233::voltage() { return read_word(0x88, true, "voltage") * kMicrovoltsPerStep; }
uint32_t INA233::current() { return signed_milliamperes(read_word(0xD1, true, "current")); }

void INA231::init() { write_word(0x00, kConfiguration, false); }
uint32_t INA231::voltage() { return read_word(0x02, false, "voltage") * kMicrovoltsPerStep; }
uint32_t INA231::current() { return milliamperes(read_word(0x01, false, "current")); }

std::unique_ptr<INA> make_ina(HardwareDriver& bus, uint8_t address, const MonitorBus& functions) {
  uint8_t model[2] = {};
  if (functions.read(bus, address, kModelRegister, model, 2, functions.wait) == 0 &&
      model[0] == '3' && model[1] == '3')
    return std::make_unique<INA233>(bus, address, functions);
  return std::make_unique<INA231>(bus, address, functions);
}

}  // namespace morla::soc
