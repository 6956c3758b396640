#pragma once
// A device a model can be mapped on: found on a driver, or described by a version and a mesh.
#include "core/hw_version.h"

namespace morla {

class HardwareDevice;
struct Mesh;

class Device {
 public:
  virtual ~Device() = default;
  virtual HwVersion version() const = 0;
  // Valid while the device lives.
  virtual const char* desc() const = 0;
  virtual const Mesh& mesh() const = 0;
  // Null for a device without hardware.
  virtual HardwareDevice* hardware() const = 0;

  IpVersion get_ip_version() const;
  // Throws std::invalid_argument unless the device's IP version is `ip_version`.
  void check_hw_and_ip_version_compatibility(IpVersion ip_version) const;

 protected:
  Device() = default;
  Device(const Device&) = default;
  Device& operator=(const Device&) { return *this; }
};

}  // namespace morla
