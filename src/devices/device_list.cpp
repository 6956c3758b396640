#include "devices/device_list.h"

#include <cstdio>
#include <stdexcept>

#include "core/device_versions.h"
#include "engine_api/hardware_device.h"
#include "devices/host_device.h"

namespace morla {
namespace {

std::shared_ptr<Device> make_device(HardwareDriver* driver, const DeviceProbe& probe) {
  std::shared_ptr<Device> device = std::make_shared<HostDevice>(HardwareDevice::create(driver));
  if (device->version() == devices::Orbi_v2 && probe(device)) {
    device = std::make_shared<HostDevice>(HardwareDevice::create(driver));
  }
  return device;
}

}  // namespace

DeviceList build_device_list(const DriverList& drivers, const DeviceProbe& probe) {
  DeviceList devices;
  for (const auto& driver : drivers) {
    try {
      devices.push_back(make_device(driver.get(), probe));
    } catch (const std::runtime_error& error) {
      // The list is built once per process: say so, since a passing fault hides the board
      // until the process starts again.
      std::printf("%s (driver %s: its board is skipped for this process)\n", error.what(),
                  driver->desc());
      std::fflush(stdout);
    }
  }
  return devices;
}

}  // namespace morla
