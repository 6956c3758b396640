#include "contract/hardware_description.h"

#include <stdexcept>

#include "core/ip_version.h"
#include "core/mesh.h"

namespace morla {
namespace {

// IP v1 and v2 share the layout; the products differ in a few limits. All arithmetic is
// 32-bit unsigned as the hardware tools compute it (a byte count above 2^29 wraps).
HardwareDescription describe_np_generation(bool v2, const SramSize& sram) {
  const uint32_t in = sram.input_bytes;
  const uint32_t wt = sram.weight_bytes;
  const uint32_t in_words = (in * 8u) / 32u;
  const uint32_t wt_words = (wt * 8u) / 32u;

  HardwareDescription d;
  using W = HardwareDescription;
  d[W::weight_units] = (wt_words * 16u * 3u) / 50u;
  d[W::weight_capacity] = v2 ? (wt * 8u) / 100u : (wt * 8u) / 50u;
  d[W::max_width] = 4096;
  d[W::max_height] = 4096;
  d[W::max_channels] = 2048;
  d[W::max_filters] = 2048;
  d[W::limit_6] = v2 ? 64 : 32;
  d[W::limit_7] = 256;
  d[W::limit_8] = v2 ? 1536 : 2048;
  d[W::limit_9] = 512;
  d[W::limit_10] = v2 ? 0 : 504;
  d[W::dual_buffer_words] = in_words / 2u;
  d[W::single_buffer_words] = in_words;
  d[W::fnp_input_words] = in_words;
  d[W::input_shift_bytes] = v2 ? 256 : 0;
  return d;
}

}  // namespace

HardwareDescription describe_hardware(uint8_t product_id, const Mesh& mesh) {
  switch (ip_version_of_product(product_id)) {
    case IpVersion::v1: return describe_np_generation(false, mesh.np_sram_size);
    case IpVersion::v2: return describe_np_generation(true, mesh.np_sram_size);
    case IpVersion::mote: {
      HardwareDescription d;
      d[HardwareDescription::stsram_32b_words] = mesh.np_sram_size.stsram_32b_size;
      d[HardwareDescription::fsram_64b_words] = mesh.np_sram_size.fsram_64b_size;
      d[HardwareDescription::tsram_51b_words] = mesh.np_sram_size.tsram_51b_size;
      d[HardwareDescription::evsram_32b_words] = mesh.np_sram_size.evsram_32b_size;
      return d;
    }
    default:
      throw std::runtime_error("Unsupported IP version in IpVersionSpecificHardwareBackend.");
  }
}

}  // namespace morla
