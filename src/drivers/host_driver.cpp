#include "drivers/host_driver.h"

#include "core/device_versions.h"
#include "engine_api/hardware_device.h"
#include "drivers/hw_dump.h"

#include <string>

namespace morla {

void HostDriver::read(uint32_t address, void* buffer, size_t length) {
  if (length == 0) return;
  owner_.require(std::string("The board of driver ") + desc());
  do_read(address, buffer, length);
  hw_dump_record_read(address, buffer, length);
}

void HostDriver::write(uint32_t address, const void* buffer, size_t length) {
  if (length == 0) return;
  owner_.require(std::string("The board of driver ") + desc());
  do_write(address, buffer, length);
  hw_dump_record_write(address, buffer, length);
}

uint32_t HostDriver::memory_base() const {
  return hw_version_ == devices::MRL7700_v1 ? 0x20000100u : 0x24000000u;
}

size_t HostDriver::memory_size() const {
  return hw_version_ == devices::MRL7700_v1 ? 0x000FFF00u : 0x0C000000u;
}

void HostDriver::read_version_from_board() { hw_version_ = read_hw_version(*this); }

}  // namespace morla
