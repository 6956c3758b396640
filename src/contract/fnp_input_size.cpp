#include "contract/fnp_input_size.h"

#include <stdexcept>

#include "engine_api/layer.h"
#include "engine_api/layer_params.h"

namespace morla {
namespace {

constexpr uint32_t kFnpInputBytes = 2048;

uint32_t round_up4(uint32_t value) {
  if (value > 0xFFFFFFFCu)
    throw std::runtime_error("Error when formatting the FNP inputs, the padding is undefined.");
  return (value + 3) & ~uint32_t{3};
}

}  // namespace

uint32_t fnp_input_size(const Layer& layer, bool ignore_inbound) {
  const Shape dims = layer.input_dims();
  const uint32_t d0 = dims[0], d1 = dims[1], d2 = dims[2];
  const uint32_t bits = layer.input_bits() & 0xFF;
  const LayerParams* params = layer.params();
  const int weights_bits = params && params->has("weights_bits") ? params->get("weights_bits") : 0;
  bool conv_source = false, hrc_source = false;
  if (!ignore_inbound) {
    const auto inbounds = layer.inbound_layers();
    if (!inbounds.empty() && inbounds.front()) {
      const Layer& source = *inbounds.front();
      conv_source = source.is_target_component(ComponentKind::CNP) ||
                    source.is_target_component(ComponentKind::TNP_B);
      hrc_source = source.is_target_component(ComponentKind::HRC);
    }
  }
  const auto bytes = [bits](uint32_t n) { return (bits * n + 7) / 8; };
  const auto pad = [](uint32_t x) { return round_up4(x) - x; };

  if (!conv_source && !hrc_source) {
    const uint32_t n = d0 * d1 * d2;
    return n + pad(bytes(n)) <= kFnpInputBytes ? 1 : 0;
  }
  if (conv_source && bits == 8 && weights_bits == 8 && d1 * d2 * round_up4(d0) <= kFnpInputBytes)
    return 3;
  const uint32_t m = d0 * d2;
  return (m + pad(bytes(m))) * d1 <= kFnpInputBytes ? 2 : 0;
}

}  // namespace morla
