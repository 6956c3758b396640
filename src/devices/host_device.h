#pragma once
// A device attached to this host: the engine's hardware device and its mesh.
#include <memory>

#include "core/device.h"
#include "core/mesh.h"

namespace morla {

class HostDevice final : public Device {
 public:
  // Discovers the mesh and checks it against the hardware version; their
  // failures propagate.
  explicit HostDevice(std::shared_ptr<HardwareDevice> hardware_device);
  HostDevice(HostDevice&& other) noexcept = default;
  HostDevice& operator=(HostDevice&& other) noexcept = default;
  ~HostDevice() override;

  HwVersion version() const override;
  const char* desc() const override;
  const Mesh& mesh() const override { return *mesh_; }
  HardwareDevice* hardware() const override { return hardware_device_.get(); }

 private:
  std::shared_ptr<HardwareDevice> hardware_device_;
  std::unique_ptr<Mesh> mesh_;
};

}  // namespace morla
