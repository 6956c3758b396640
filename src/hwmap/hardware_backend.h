#pragma once
// The back end of one mapping run: the hardware description of the device's IP generation
// and that generation's checker, sizer and recorders.
#include <memory>

#include "contract/backend_parts.h"
#include "contract/hardware_description.h"

namespace morla {

class Device;

class IpVersionSpecificHardwareBackend {
 public:
  // Picks the generation from the device's product id. Throws std::runtime_error
  // "Unsupported IP version in IpVersionSpecificHardwareBackend." for a product without a
  // back end.
  explicit IpVersionSpecificHardwareBackend(const std::shared_ptr<Device>& device);
  IpVersionSpecificHardwareBackend(const IpVersionSpecificHardwareBackend&) = delete;
  IpVersionSpecificHardwareBackend& operator=(const IpVersionSpecificHardwareBackend&) = delete;

  const HardwareDescription& description() const { return *description_; }
  // Shared with the hardware sequences, which may outlive the back end.
  std::shared_ptr<const HardwareDescription> shared_description() const { return description_; }
  const CompatibilityChecker& checker() const { return *parts_.checker; }
  const MemorySizer& sizer() const { return *parts_.sizer; }
  const IoRecorder& io_recorder() const { return *parts_.io_recorder; }
  const LayerRecorder& layer_recorder() const { return *parts_.layer_recorder; }

 private:
  std::shared_ptr<const HardwareDescription> description_;
  BackendParts parts_;
};

}  // namespace morla
