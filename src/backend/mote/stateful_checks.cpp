#include "backend/mote/stateful_checks.h"

#include <bit>
#include <optional>
#include <string>

#include "backend/mote/tnpr_chain.h"
#include "backend/mote/tnpr_memory.h"
#include "core/engine_api/layer_params.h"
#include "core/engine_api/variables.h"
#include "program/contract/bitwidth.h"

namespace morla::mote {

namespace {

using std::to_string;

// A rule answers the message of its failure, or nothing when it passes.
using Failure = std::optional<std::string>;

constexpr uint32_t kMaxRecurrentLayers = 8;
constexpr uint32_t kMaxRowWords = 128;  // 512 bytes
constexpr uint32_t kMaxStateChannels = 256;
constexpr uint32_t kMaxOutputChannels = 256;
constexpr uint32_t kMaxSubsample = 4;
constexpr uint32_t kMinTailTimesteps = 3;
constexpr uint32_t kMaxTailTimesteps = 128;
constexpr uint8_t kReluMaxValue = 127;
constexpr uint8_t kReluMaxValueShift = 31;

void add(MappingStatus& status, const Layer& layer, const Failure& failure) {
  if (failure) status.merge(make_mapping_status(layer, *failure));
}

// ---- Rules of a StatefulRecurrent layer fed by the host --------------------------------------

Failure packed_row_rule(uint32_t channels, uint32_t bits) {
  const uint32_t words = row_words(channels, bits);
  if (std::has_single_bit(words)) return {};
  return "The packed input row (channels x input bits) must occupy a power-of-2 number of "
         "32-bit words (got " + to_string(words) + " words for " + to_string(channels) +
         " channels at " + to_string(bits) + "-bit).";
}

Failure row_size_rule(uint32_t channels, uint32_t bits) {
  const uint32_t words = row_words(channels, bits);  // below 2^27
  if (words <= kMaxRowWords) return {};
  return "The maximum input row size (input_channels * input_bits, padded to a power-of-2 "
         "number of 32-bit words) is " + to_string(kMaxRowWords * 4) + " bytes (got " +
         to_string(4 * std::bit_ceil(words)) + ").";
}

Failure first_input_channels_rule(uint32_t channels, uint32_t bits) {
  const uint32_t limit = bits == 8 ? 256 : 128;
  if (channels <= limit) return {};
  return "The maximum input channels for " + to_string(bits) + "-bit input is " +
         to_string(limit) + " (got " + to_string(channels) + ").";
}

// ---- Rules of every StatefulRecurrent layer -------------------------------------------------

// With ReLU every element of the variable, when present, must hold the ReLU value.
Failure relu_variable_rule(const Layer& layer, const char* name, uint8_t expected) {
  if (!layer.has_activation_type(ActivationType::ReLU) || !layer.variables().has(name)) return {};
  const auto values = layer.variables().get(name);
  for (size_t i = 0; i < values->size(); ++i) {
    const uint8_t value = values->get<uint8_t>(i);
    if (value != expected)
      return "When activation is ReLU, all " + std::string(name) + " elements must be " +
             to_string(expected) + " (got " + to_string(value) + " at index " + to_string(i) +
             ").";
  }
  return {};
}

Failure input_bits_rule(uint32_t bits, bool first) {
  if (first) {
    if (bits == 8 || bits == 16) return {};
    return "For the first StatefulRecurrent layer, input must be 8-bit or 16-bit. got( " +
           to_string(bits) + ").";
  }
  if (bits == 8) return {};
  return "For intermediate StatefulRecurrent layer, input must be 8-bit. got( " +
         to_string(bits) + ").";
}

Failure state_channels_limit_rule(uint32_t channels) {
  if (channels <= kMaxStateChannels) return {};
  return "State channels exceeds max limit of " + to_string(kMaxStateChannels) + " for TNP-R.";
}

Failure state_channels_power_rule(uint32_t channels) {
  if (std::has_single_bit(channels)) return {};
  return "State channels must be a power of 2. (got " + to_string(channels) + ").";
}

Failure state_channels_equal_rule(uint32_t channels, uint32_t expected) {
  if (channels == expected) return {};
  return "State channels must be the same for all stateful layers. Expected " +
         to_string(expected) + "(got " + to_string(channels) + ").";
}

Failure output_channels_rule(uint32_t channels) {
  if (channels <= kMaxOutputChannels) return {};
  return "Output channels exceeds max limit of " + to_string(kMaxOutputChannels) + " for TNP-R.";
}

Failure subsample_rule(uint32_t subsample) {
  if (subsample <= kMaxSubsample) return {};
  return "Subsample ratio exceeds max limit of " + to_string(kMaxSubsample) + " for TNP-R. (got " +
         to_string(subsample) + ").";
}

Failure last_output_bits_rule(uint32_t bits) {
  if (bits == 8 || bits == 28 || bits == 32) return {};
  return "For the last StatefulRecurrent layer, outputs must be 8-bit, 28-bit or 32-bit. (got " +
         to_string(bits) + ").";
}

bool is_last_recurrent(const Layer& layer) {
  const auto next = first_outbound(layer);
  return !next || !is_stateful_recurrent(*next);
}

// ---- Rules of the tail -------------------------------------------------------------------------

Failure tail_type_rule(LayerType type) {
  if (type == LayerType::MotePostProcessing) return {};
  return "Only a Dequantizer or a MotePostProcessing is allowed a the end of a serie of "
         "StatefulRecurrent layers.";
}

Failure tail_channels_rule(uint32_t channels) {
  if (channels == 1) return {};
  return "MotePostProcessing layer input must have a single channel (got " + to_string(channels) +
         ").";
}

Failure tail_timesteps_rule(uint32_t timesteps) {
  if (timesteps < kMinTailTimesteps)
    return "Timesteps dimension must be at least " + to_string(kMinTailTimesteps) + " (got " +
           to_string(timesteps) + ").";
  if (timesteps > kMaxTailTimesteps)
    return "Timesteps dimension must be at most " + to_string(kMaxTailTimesteps) + " (got " +
           to_string(timesteps) + ").";
  return {};
}

Failure feeding_scale_rule(const Layer& feeding) {
  const uint8_t scale = feeding.variables().get("output_scales")->get<uint8_t>(0);
  if (scale == 1) return {};
  return "Output scales must be 1 for the last StatefulRecurrent layer before a "
         "MotePostProcessing layer (got " + to_string(scale) + ").";
}

Failure feeding_shift_rule(const Layer& feeding) {
  const int8_t shift = feeding.variables().get("output_shift")->get<int8_t>(0);
  if (shift == 0) return {};
  return "Output shift must be 0 for the last StatefulRecurrent layer before a "
         "MotePostProcessing layer (got " + to_string(shift) + ").";
}

// The StatefulRecurrent layer the tail reads: its first producer when that is on the
// TNP-R, else its second one. Null when there is no such StatefulRecurrent layer.
std::shared_ptr<Layer> feeding_layer(const Layer& tail) {
  const auto inbounds = tail.inbounds();
  std::shared_ptr<Layer> feeding;
  if (!inbounds.empty() && inbounds[0] && on_tnp_r(*inbounds[0]))
    feeding = inbounds[0];
  else if (inbounds.size() >= 2)
    feeding = inbounds[1];
  return feeding && is_stateful_recurrent(*feeding) ? feeding : nullptr;
}

// ---- Memory rules -----------------------------------------------------------------------------

struct MemoryRule {
  const char* memory;
  uint32_t word_bits;
  HardwareDescription::Word limit;
  uint32_t (*size)(const std::shared_ptr<Layer>&);
};

constexpr MemoryRule kMemoryRules[] = {
    {"EVSRAM", 32, HardwareDescription::evsram_32b_words, evsram_words},
    {"STSRAM", 32, HardwareDescription::stsram_32b_words, stsram_words},
    {"FSRAM", 64, HardwareDescription::fsram_64b_words, fsram_words},
    {"TSRAM", 51, HardwareDescription::tsram_51b_words, tsram_words},
};

// A size that cannot be computed counts as 0 and fails with the reason instead.
Failure memory_rule(const MemoryRule& rule, const HardwareDescription& description,
                    const std::shared_ptr<Layer>& start) {
  uint32_t size = 0;
  try {
    size = rule.size(start);
  } catch (const TnprSizingError& e) {
    return std::string(rule.memory) + " cannot be sized: " + e.what();
  }
  const uint32_t limit = description[rule.limit];
  if (size <= limit) return {};
  return std::string(rule.memory) + " size exceeds max limit of " + to_string(limit) + " " +
         to_string(rule.word_bits) + "-bit words for TNP-R (got " + to_string(size) + ").";
}

}  // namespace

MappingStatus check_stateful_recurrent(const std::shared_ptr<Layer>& layer,
                                       uint32_t state_channels) {
  MappingStatus status;
  status.merge(check_variable_bitwidth(layer, 6, "new_state_shift", true));
  status.merge(check_variable_bitwidth(layer, 8, "new_state_scale", true));
  status.merge(check_variable_bitwidth(layer, 5, "internal_state_outputs_shift", true));

  const uint32_t channels = input_channels(*layer);
  const uint32_t bits = input_bit_width(*layer);
  const auto producer = first_inbound(*layer);
  const bool first = producer && comes_from_host(*producer);
  if (first) {
    add(status, *layer, packed_row_rule(channels, bits));
    add(status, *layer, row_size_rule(channels, bits));
    add(status, *layer, first_input_channels_rule(channels, bits));
  }
  add(status, *layer, relu_variable_rule(*layer, "max_value", kReluMaxValue));
  add(status, *layer, relu_variable_rule(*layer, "max_value_shift", kReluMaxValueShift));
  add(status, *layer, input_bits_rule(bits, first));

  const uint32_t own_state_channels = unsigned_param(*layer, "stateful_channels");
  add(status, *layer, state_channels_limit_rule(own_state_channels));
  add(status, *layer, state_channels_power_rule(own_state_channels));
  add(status, *layer, state_channels_equal_rule(own_state_channels, state_channels));
  add(status, *layer, output_channels_rule(unsigned_param(*layer, "output_channels")));
  add(status, *layer, subsample_rule(unsigned_param(*layer, "subsample")));
  if (is_last_recurrent(*layer)) add(status, *layer, last_output_bits_rule(output_bit_width(*layer)));
  return status;
}

MappingStatus check_stateful_tail(const std::shared_ptr<Layer>& layer) {
  MappingStatus status;
  const LayerType type = layer_type(*layer);
  if (type == LayerType::Dequantizer) return status;
  add(status, *layer, tail_type_rule(type));
  add(status, *layer, tail_channels_rule(input_channels(*layer)));
  add(status, *layer, tail_timesteps_rule(input_timesteps(*layer)));

  const auto feeding = feeding_layer(*layer);
  if (!feeding) {
    add(status, *layer, "MotePostProcessing layer has no feeding StatefulRecurrent layer.");
    return status;
  }
  add(status, *feeding, feeding_scale_rule(*feeding));
  add(status, *feeding, feeding_shift_rule(*feeding));
  return status;
}

MappingStatus check_stateful_model(const HardwareDescription& description,
                                   const std::shared_ptr<Layer>& start) {
  MappingStatus status;
  // A chain that starts elsewhere has only its tail checked; no layer compares with this.
  const uint32_t state_channels =
      is_stateful_recurrent(*start) ? unsigned_param(*start, "stateful_channels") : 0;

  uint32_t on_tnp_r_count = 0;
  for (std::shared_ptr<Layer> layer = start; layer && status.ok();) {
    const bool counted = on_tnp_r(*layer);
    const auto next = first_outbound(*layer);
    if (is_stateful_recurrent(*layer)) {
      status.merge(check_stateful_recurrent(layer, state_channels));
    } else {
      status.merge(check_stateful_tail(layer));
      if (next) add(status, *layer, "Dequantizer/MotePostProcessing must be the last layer.");
    }
    layer = next;
    if (counted) ++on_tnp_r_count;
  }
  if (on_tnp_r_count > kMaxRecurrentLayers)
    status.merge(MappingStatus(1, "A model cannot have more that " +
                                      to_string(kMaxRecurrentLayers) +
                                      " StatefulRecurrent layers."));

  // The memory rules run whatever the chain rules found.
  MappingStatus memory;
  for (const MemoryRule& rule : kMemoryRules) add(memory, *start, memory_rule(rule, description, start));
  status.merge(memory);
  return status;
}

}  // namespace morla::mote
