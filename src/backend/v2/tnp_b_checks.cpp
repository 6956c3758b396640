#include "backend/v2/tnp_b_checks.h"

#include <string>

#include "backend/v2/input_shift_memory.h"
#include "backend/v2/layer_facts.h"
#include "engine_api/layer_params.h"
#include "contract/layer_rules.h"

namespace morla::v2 {

namespace {

constexpr uint32_t kMaxSide = 4096;
constexpr uint32_t kMaxChannels = 2048;
// A skip-DMA row of channels x input bits must stay below 1024 words.
constexpr uint32_t kMaxSkipDmaRowBits = 32768;

using F = LayerFacts;

std::string limit(const char* what, uint32_t bound, uint32_t got) {
  return std::string("The maximum ") + what + " is " + std::to_string(bound) + " (got " +
         std::to_string(got) + ").";
}

uint32_t skip_dma_row_bits(const F& f) { return f.input()[2] * f.input_bits() + 31; }

const Rule<F> kTnpBRules[] = {
    {[](const F& f) { return f.input_bits() != 8; }, "Input should be 8-bit."},
    {[](const F& f) { return f.output_bits() != 8; }, "Output should be 8-bit."},
    {[](const F& f) { return f.input()[0] > kMaxSide; },
     [](const F& f) { return limit("input width", kMaxSide, f.input()[0]); }},
    {[](const F& f) { return f.input()[1] > kMaxSide; },
     [](const F& f) { return limit("input height", kMaxSide, f.input()[1]); }},
    {[](const F& f) { return f.input()[2] > kMaxChannels; },
     [](const F& f) { return limit("input channel value", kMaxChannels, f.input()[2]); }},
    {[](const F& f) { return f.param("weights_bits") != 8; }, "Only 8-bit weights are supported."},
    {[](const F& f) { return f.filters_or_channels() > kMaxChannels; },
     [](const F& f) { return limit("number of filters", kMaxChannels, f.filters_or_channels()); }},
    {[](const F& f) { return skip_dma_row_bits(f) >= kMaxSkipDmaRowBits; },
     [](const F& f) {
       return "The skip DMA horizontal dimension must be smaller than 1024 (got " +
              std::to_string(skip_dma_row_bits(f) / 32) + ").";
     }},
};

}  // namespace

MappingStatus check_tnp_b(const HardwareDescription& d, const Layer& layer) {
  RuleStatus status(layer);
  status.every(kTnpBRules, F{layer, &d});
  return status.merge(check_input_shift(d, layer));
}

MappingStatus check_buffer_temp_conv(const HardwareDescription& d, const Layer& layer) {
  return check_tnp_b(d, layer);
}

MappingStatus check_depthwise_buffer_temp_conv(const HardwareDescription& d, const Layer& layer) {
  return check_tnp_b(d, layer);
}

}  // namespace morla::v2
