#pragma once
// A device described by a hardware version and a mesh, with no hardware attached.
#include <memory>
#include <string>

#include "core/device.h"
#include "core/mesh.h"

namespace morla {

class VirtualDevice : public Device {
 public:
  VirtualDevice(const HwVersion& version, const Mesh& mesh);

  HwVersion version() const override { return version_; }
  const char* desc() const override { return desc_.c_str(); }
  const Mesh& mesh() const override { return mesh_; }
  HardwareDevice* hardware() const override { return nullptr; }

 private:
  HwVersion version_;
  Mesh mesh_;
  std::string desc_;
};

// Throws std::invalid_argument when the version and the mesh belong to different IP versions.
std::shared_ptr<VirtualDevice> make_virtual_device(HwVersion version, const Mesh& mesh);

}  // namespace morla
