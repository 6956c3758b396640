#pragma once
#include <cstdint>

namespace morla {

// The generation of the Morla IP.
enum class IpVersion : int32_t { none = 0, v1 = 1, v2 = 2, mote = 3 };

// "v1", "v2", "mote", or "none" for any other value.
const char* ip_version_name(IpVersion version);

// The products of the maker (a hardware version's product byte) and the IP generation
// each carries: the one table that the version, the hardware description and the back-end
// factory read.
struct ProductGeneration {
  uint8_t product;
  IpVersion ip;
};

inline constexpr ProductGeneration kProductGenerations[] = {
    {0x00, IpVersion::v1},    // Orbi
    {0xA1, IpVersion::v1},    // TwoNodesIP, MRL7700
    {0xA2, IpVersion::v2},    // FPGA_v2
    {0xB1, IpVersion::mote},  // Mote_FPGA
};

// The generation of `product`; none for a product the table does not hold.
constexpr IpVersion ip_version_of_product(uint8_t product) {
  for (const ProductGeneration& row : kProductGenerations)
    if (row.product == product) return row.ip;
  return IpVersion::none;
}

}  // namespace morla
