#include "backend/v2/tnp_b_checks.h"

#include <string>

#include "backend/v2/input_shift_memory.h"
#include "backend/v2/rule_check.h"
#include "core/engine_api/layer_params.h"

namespace morla::v2 {

namespace {

constexpr uint32_t kMaxSide = 4096;
constexpr uint32_t kMaxChannels = 2048;
// A skip-DMA row of channels x input bits must stay below 1024 words.
constexpr uint32_t kMaxSkipDmaRowBits = 32768;

std::string limit(const char* what, uint32_t bound, uint32_t got) {
  return std::string("The maximum ") + what + " is " + std::to_string(bound) + " (got " +
         std::to_string(got) + ").";
}

}  // namespace

MappingStatus check_tnp_b(const HardwareDescription& d, const Layer& layer) {
  RuleCheck r(layer);
  const Shape in = layer.input_dims();
  const uint32_t in_bits = layer.input_bits() & 0xFF;
  r.fail_if(in_bits != 8, "Input should be 8-bit.");
  r.fail_if((layer.output_bits() & 0xFF) != 8, "Output should be 8-bit.");
  r.fail_if(in[0] > kMaxSide, limit("input width", kMaxSide, in[0]));
  r.fail_if(in[1] > kMaxSide, limit("input height", kMaxSide, in[1]));
  r.fail_if(in[2] > kMaxChannels, limit("input channel value", kMaxChannels, in[2]));
  r.fail_if(param(layer, "weights_bits") != 8, "Only 8-bit weights are supported.");
  const uint32_t filters =
      layer.params()->has("filters") ? static_cast<uint32_t>(param(layer, "filters")) : in[2];
  r.fail_if(filters > kMaxChannels, limit("number of filters", kMaxChannels, filters));
  const uint32_t row_bits = in[2] * in_bits + 31;
  r.fail_if(row_bits >= kMaxSkipDmaRowBits,
            "The skip DMA horizontal dimension must be smaller than 1024 (got " +
                std::to_string(row_bits / 32) + ").");
  check_input_shift(r, d, layer);
  return r.status();
}

MappingStatus check_buffer_temp_conv(const HardwareDescription& d, const Layer& layer) {
  return check_tnp_b(d, layer);
}

MappingStatus check_depthwise_buffer_temp_conv(const HardwareDescription& d, const Layer& layer) {
  return check_tnp_b(d, layer);
}

}  // namespace morla::v2
