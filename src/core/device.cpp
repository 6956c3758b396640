#include "core/device.h"

#include <stdexcept>
#include <string>

namespace morla {

IpVersion Device::get_ip_version() const { return version().get_ip_version(); }

void Device::check_hw_and_ip_version_compatibility(IpVersion ip_version) const {
  const HwVersion v = version();
  if (v.get_ip_version() == ip_version) return;
  throw std::invalid_argument("Incompatible hardware and Ip versions: HW Version is " +
                              v.to_string() + " with product id = " + std::to_string(v.product_id) +
                              " while IP version is " + ip_version_name(ip_version) + ".");
}

}  // namespace morla
