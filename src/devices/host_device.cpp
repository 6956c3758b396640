#include "devices/host_device.h"

#include "engine_api/hardware_device.h"
#include "devices/mesh_discovery.h"

namespace morla {

HostDevice::HostDevice(std::shared_ptr<HardwareDevice> hardware_device)
    : hardware_device_(std::move(hardware_device)), mesh_(discover_mesh(hardware_device_.get())) {
  check_hw_and_ip_version_compatibility(mesh_->version);
}

HostDevice::~HostDevice() {
  mesh_.reset();
  hardware_device_.reset();
}

HwVersion HostDevice::version() const { return hardware_device_->version(); }

const char* HostDevice::desc() const { return hardware_device_->desc(); }

}  // namespace morla
