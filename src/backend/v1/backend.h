#pragma once
// The IP v1 back end: products 0 and 161.
#include <memory>

#include "contract/backend_parts.h"

namespace morla {
class Device;
struct HardwareDescription;
}  // namespace morla

namespace morla::v1 {

// The description must outlive the parts.
BackendParts make_backend(const std::shared_ptr<Device>& device,
                          const HardwareDescription* description);

}  // namespace morla::v1
