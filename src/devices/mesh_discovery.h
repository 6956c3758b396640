#pragma once
// The mesh of a device, read from the identification registers behind its driver.
#include <memory>

#include "core/mesh.h"

namespace morla {

class HardwareDevice;

// Reads the mesh of a device from its identification registers.
std::unique_ptr<Mesh> discover_mesh(HardwareDevice* device);

}  // namespace morla
