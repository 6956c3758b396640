#include "hwmap/hardware_backend.h"

#include <stdexcept>
#include <utility>

#include "core/device.h"
#include "core/ip_version.h"
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

using MakeBackend = BackendParts (*)(const std::shared_ptr<Device>&, const HardwareDescription*);

// The back end of each IP generation.
constexpr std::pair<IpVersion, MakeBackend> kBackends[] = {
    {IpVersion::v1, v1::make_backend},
    {IpVersion::v2, v2::make_backend},
    {IpVersion::mote, mote::make_backend},
};

BackendParts make_backend_parts(uint8_t product, const std::shared_ptr<Device>& device,
                                const HardwareDescription* description) {
  const IpVersion ip = ip_version_of_product(product);
  for (const auto& [generation, make_backend] : kBackends)
    if (generation == ip) return make_backend(device, description);
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
