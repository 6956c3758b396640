#include "core/hw_version.h"

#include <cstdio>
#include <cstring>

namespace morla {

const uint8_t HwVersion::kel_id = 0x4B;

const char* ip_version_name(IpVersion version) {
  switch (version) {
    case IpVersion::v1: return "v1";
    case IpVersion::v2: return "v2";
    case IpVersion::mote: return "mote";
    default: return "none";
  }
}

bool HwVersion::operator==(const HwVersion& other) const {
  uint32_t a, b;
  std::memcpy(&a, this, 4);
  std::memcpy(&b, &other, 4);
  return a == b;
}

bool HwVersion::operator!=(const HwVersion& other) const {
  return vendor_id != other.vendor_id || product_id != other.product_id ||
         major_rev != other.major_rev || minor_rev != other.minor_rev;
}

std::string HwVersion::to_string() const {
  return std::to_string(vendor_id) + "." + std::to_string(product_id) + "." +
         std::to_string(major_rev) + "." + std::to_string(minor_rev);
}

IpVersion HwVersion::get_ip_version() const { return ip_version_of_product(product_id); }

uint32_t version_word(const HwVersion& version) {
  return uint32_t{version.vendor_id} | uint32_t{version.product_id} << 8 |
         uint32_t{version.major_rev} << 16 | uint32_t{version.minor_rev} << 24;
}

std::string hw_version_to_string(const HwVersion& version) {
  char buffer[128];
  std::snprintf(buffer, sizeof buffer, "%02X.%02X.%03u.%03u", version.vendor_id, version.product_id,
                unsigned{version.major_rev}, unsigned{version.minor_rev});
  return buffer;
}

}  // namespace morla
