#include "hwmap/hardware_backend.h"

#include <stdexcept>

#include "core/device.h"
#include "core/mesh.h"

// The back ends, one include per IP generation.
// IP v1:
#include "backend/v1/backend.h"

// IP v2:
#include "backend/v2/backend.h"

// Mote:
#include "backend/mote/mote_backend.h"

namespace morla {
namespace {

// One line per IP generation below: `if (<its products>) return <ns>::make_backend(device,
// description);`. A product that reaches the end has no back end.
BackendParts make_backend_parts(uint8_t product, const std::shared_ptr<Device>& device,
                                const HardwareDescription* description) {
  (void)product;
  (void)device;
  (void)description;
  // IP v1, products 0 and 161:
  if (product == 0 || product == 161) return v1::make_backend(device, description);

  // IP v2, product 162:
  if (product == 162) return v2::make_backend(device, description);

  // Mote, product 177:
  if (product == 177) return mote::make_backend(device, description);

  throw std::runtime_error("Unsupported IP version in IpVersionSpecificHardwareBackend.");
}

}  // namespace

IpVersionSpecificHardwareBackend::IpVersionSpecificHardwareBackend(
    const std::shared_ptr<Device>& device) {
  if (!device) throw std::invalid_argument("The device must not be null.");
  const uint8_t product = device->version().product_id;
  auto description =
      std::make_shared<const HardwareDescription>(describe_hardware(product, device->mesh()));
  parts_ = make_backend_parts(product, device, description.get());
  description_ = std::move(description);
}

}  // namespace morla
