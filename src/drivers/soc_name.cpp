#include "drivers/soc_name.h"

namespace morla {
namespace {

constexpr uint32_t kSocVersionRegister = 0xF0000010;

}  // namespace

uint32_t read_soc_version(HardwareDriver& driver) {
  return read_register(driver, kSocVersionRegister) & 0xF;
}

std::string make_soc_name(HardwareDriver& driver) {
  return "Orbi_v" + std::to_string(read_soc_version(driver));
}

}  // namespace morla
