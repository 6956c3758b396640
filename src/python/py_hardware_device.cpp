#include "python/py_hardware_device.h"

#include <stdexcept>

#include "devices/device_list.h"

namespace morla::python {
namespace {

PyHardwareDeviceList build_hardware_device_list() {
  const DeviceList& devices = get_devices();
  PyHardwareDeviceList list;
  list.reserve(devices.size());
  for (const auto& device : devices) list.push_back(std::make_shared<PyHardwareDevice>(device));
  return list;
}

}  // namespace

HardwareDevice& PyHardwareDevice::engine() const {
  HardwareDevice* hardware = device_->hardware();
  if (!hardware) throw std::runtime_error("The device has no hardware.");
  return *hardware;
}

PyHardwareDeviceList list_hardware_devices() {
  static const PyHardwareDeviceList devices = build_hardware_device_list();
  return devices;
}

}  // namespace morla::python
