#include "core/virtual_device.h"

namespace morla {

VirtualDevice::VirtualDevice(const HwVersion& version, const Mesh& mesh)
    : version_(version), mesh_(mesh), desc_("VirtualDevice/" + hw_version_to_string(version)) {}

std::shared_ptr<VirtualDevice> make_virtual_device(HwVersion version, const Mesh& mesh) {
  auto device = std::make_shared<VirtualDevice>(version, mesh);
  device->check_hw_and_ip_version_compatibility(device->mesh().version);
  return device;
}

}  // namespace morla
