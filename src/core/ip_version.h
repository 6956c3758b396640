#pragma once
#include <cstdint>

namespace morla {

// The generation of the Morla IP.
enum class IpVersion : int32_t { none = 0, v1 = 1, v2 = 2, mote = 3 };

// "v1", "v2", "mote", or "none" for any other value.
const char* ip_version_name(IpVersion version);

// The products of the maker (a hardware version's product byte), the IP generation each
// carries, how the mapping groups layers into passes on it and how its DMA takes a
// sequence's input and output: the one table that the version, the hardware description,
// the back-end factory, the mapping, the IO recorders and the learning read-back read.
struct ProductGeneration {
  uint8_t product;
  IpVersion ip;
  // Whether a layer that does not fit the NPs left free opens a new pass, in which the NPs
  // are free again (the product reprograms its NPs between passes). Without it, a mapping
  // run is one pass and no two layers share an NP.
  bool opens_new_passes;
  // Whether the sequence's DMA can take its input and give its output with code 0, whatever
  // unit reads or writes them (the IO recorder says for which sizes). Without it, each has
  // the code of the unit that reads or writes it.
  bool io_code_zero;
};

inline constexpr ProductGeneration kProductGenerations[] = {
    {0x00, IpVersion::v1, false, false},  // Orbi
    {0xA1, IpVersion::v1, true, true},    // TwoNodesIP, MRL7700
    {0xA2, IpVersion::v2, true, true},    // FPGA_v2
    {0xB1, IpVersion::mote, true, true},  // Mote_FPGA
};

// The row of `product`; null for a product the table does not hold.
constexpr const ProductGeneration* product_generation(uint8_t product) {
  for (const ProductGeneration& row : kProductGenerations)
    if (row.product == product) return &row;
  return nullptr;
}

// The generation of `product`; none for a product the table does not hold.
constexpr IpVersion ip_version_of_product(uint8_t product) {
  const ProductGeneration* row = product_generation(product);
  return row ? row->ip : IpVersion::none;
}

// Whether `product` opens new passes; false for a product the table does not hold.
constexpr bool product_opens_new_passes(uint8_t product) {
  const ProductGeneration* row = product_generation(product);
  return row && row->opens_new_passes;
}

// Whether the DMA of `product` takes small inputs and outputs with code 0; false for a
// product the table does not hold.
constexpr bool product_io_code_zero(uint8_t product) {
  const ProductGeneration* row = product_generation(product);
  return row && row->io_code_zero;
}

}  // namespace morla
