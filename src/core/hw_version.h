#pragma once
#include <cstdint>
#include <string>

#include "core/ip_version.h"

namespace morla {

// Four-byte hardware version read from a device.
struct HwVersion {
  uint8_t vendor_id = 0;
  uint8_t product_id = 0;
  uint8_t major_rev = 0;
  uint8_t minor_rev = 0;

  // The maker's vendor identifier byte, carried by every device of the maker.
  static const uint8_t kel_id;

  bool operator==(const HwVersion& other) const;
  bool operator!=(const HwVersion& other) const;

  // The four bytes in decimal joined by "." (used in error messages).
  std::string to_string() const;
  // The IP generation selected by the product byte.
  IpVersion get_ip_version() const;
};

// The version as one 32-bit word, the form device programs and the back ends' checks take:
// vendor in the low byte, then product, major and minor revision, whatever the host's byte
// order.
uint32_t version_word(const HwVersion& version);

// Python text form: "%02X.%02X.%03u.%03u".
std::string hw_version_to_string(const HwVersion& version);

}  // namespace morla
