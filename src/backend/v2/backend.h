#pragma once
// The IP v2 back end: product 162.
#include <memory>

#include "contract/backend_parts.h"

namespace morla {
class Device;
struct HardwareDescription;
}  // namespace morla

namespace morla::v2 {

// The description must outlive the parts.
BackendParts make_backend(const std::shared_ptr<Device>& device,
                          const HardwareDescription* description);

}  // namespace morla::v2
