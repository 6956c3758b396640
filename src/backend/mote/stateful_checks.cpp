#include "backend/mote/stateful_checks.h"

#include <bit>
#include <optional>
#include <string>
#include <utility>

#include "backend/mote/tnpr_chain.h"
#include "backend/mote/tnpr_memory.h"
#include "engine_api/layer_params.h"
#include "engine_api/variables.h"
#include "contract/bitwidth.h"
#include "contract/layer_rules.h"

namespace morla::mote {

namespace {

using std::to_string;

constexpr uint32_t kMaxRecurrentLayers = 8;
constexpr uint32_t kMaxRowWords = 128;  // 512 bytes
constexpr uint32_t kMaxStateChannels = 256;
constexpr uint32_t kMaxOutputChannels = 256;
constexpr uint32_t kMaxSubsample = 4;
constexpr uint32_t kMinTailTimesteps = 3;
constexpr uint32_t kMaxTailTimesteps = 128;
constexpr uint8_t kReluMaxValue = 127;
constexpr uint8_t kReluMaxValueShift = 31;

// ---- Rules of a StatefulRecurrent layer ------------------------------------------------------

// A StatefulRecurrent layer of a chain whose "stateful_channels" is `chain_state_channels`.
struct RecurrentFacts {
  const Layer& layer;
  uint32_t channels, bits;
  bool first;  // fed by the host
  uint32_t state_channels, chain_state_channels;

  uint32_t row() const { return row_words(channels, bits); }  // below 2^27
  uint32_t first_channel_limit() const { return bits == 8 ? 256 : 128; }
  uint32_t param(const char* key) const { return unsigned_param(layer, key); }
  bool last() const {
    const auto next = first_outbound(layer);
    return !next || !is_stateful_recurrent(*next);
  }
};

// With ReLU, the index and value of the first element of variable `name` that is not
// `expected`; nothing when the variable is absent or holds only `expected`.
std::optional<std::pair<size_t, uint8_t>> relu_mismatch(const Layer& layer, const char* name,
                                                        uint8_t expected) {
  if (!layer.has_activation_type(ActivationType::ReLU) || !layer.variables().has(name)) return {};
  const auto values = layer.variables().get(name);
  for (size_t i = 0; i < values->size(); ++i) {
    const uint8_t value = values->get<uint8_t>(i);
    if (value != expected) return std::pair{i, value};
  }
  return {};
}

template <const char* Name, uint8_t Expected>
bool relu_broken(const RecurrentFacts& f) {
  return relu_mismatch(f.layer, Name, Expected).has_value();
}

template <const char* Name, uint8_t Expected>
std::string relu_message(const RecurrentFacts& f) {
  const auto [index, value] = *relu_mismatch(f.layer, Name, Expected);
  return "When activation is ReLU, all " + std::string(Name) + " elements must be " +
         to_string(Expected) + " (got " + to_string(value) + " at index " + to_string(index) + ").";
}

constexpr char kMaxValue[] = "max_value";
constexpr char kMaxValueShift[] = "max_value_shift";

using R = RecurrentFacts;

const Rule<R> kRecurrentRules[] = {
    {[](const R& f) { return f.first && !std::has_single_bit(f.row()); },
     [](const R& f) {
       return "The packed input row (channels x input bits) must occupy a power-of-2 number of "
              "32-bit words (got " +
              to_string(f.row()) + " words for " + to_string(f.channels) + " channels at " +
              to_string(f.bits) + "-bit).";
     }},
    {[](const R& f) { return f.first && f.row() > kMaxRowWords; },
     [](const R& f) {
       return "The maximum input row size (input_channels * input_bits, padded to a power-of-2 "
              "number of 32-bit words) is " +
              to_string(kMaxRowWords * 4) + " bytes (got " + to_string(4 * std::bit_ceil(f.row())) +
              ").";
     }},
    {[](const R& f) { return f.first && f.channels > f.first_channel_limit(); },
     [](const R& f) {
       return "The maximum input channels for " + to_string(f.bits) + "-bit input is " +
              to_string(f.first_channel_limit()) + " (got " + to_string(f.channels) + ").";
     }},
    {relu_broken<kMaxValue, kReluMaxValue>, relu_message<kMaxValue, kReluMaxValue>},
    {relu_broken<kMaxValueShift, kReluMaxValueShift>,
     relu_message<kMaxValueShift, kReluMaxValueShift>},
    {[](const R& f) { return f.first && f.bits != 8 && f.bits != 16; },
     [](const R& f) {
       return "For the first StatefulRecurrent layer, input must be 8-bit or 16-bit. got( " +
              to_string(f.bits) + ").";
     }},
    {[](const R& f) { return !f.first && f.bits != 8; },
     [](const R& f) {
       return "For intermediate StatefulRecurrent layer, input must be 8-bit. got( " +
              to_string(f.bits) + ").";
     }},
    {[](const R& f) { return f.state_channels > kMaxStateChannels; },
     [](const R&) {
       return "State channels exceeds max limit of " + to_string(kMaxStateChannels) + " for TNP-R.";
     }},
    {[](const R& f) { return !std::has_single_bit(f.state_channels); },
     [](const R& f) {
       return "State channels must be a power of 2. (got " + to_string(f.state_channels) + ").";
     }},
    {[](const R& f) { return f.state_channels != f.chain_state_channels; },
     [](const R& f) {
       return "State channels must be the same for all stateful layers. Expected " +
              to_string(f.chain_state_channels) + "(got " + to_string(f.state_channels) + ").";
     }},
    {[](const R& f) { return f.param("output_channels") > kMaxOutputChannels; },
     [](const R&) {
       return "Output channels exceeds max limit of " + to_string(kMaxOutputChannels) +
              " for TNP-R.";
     }},
    {[](const R& f) { return f.param("subsample") > kMaxSubsample; },
     [](const R& f) {
       return "Subsample ratio exceeds max limit of " + to_string(kMaxSubsample) +
              " for TNP-R. (got " + to_string(f.param("subsample")) + ").";
     }},
    {[](const R& f) {
       const uint32_t bits = output_bit_width(f.layer);
       return f.last() && bits != 8 && bits != 28 && bits != 32;
     },
     [](const R& f) {
       return "For the last StatefulRecurrent layer, outputs must be 8-bit, 28-bit or 32-bit. "
              "(got " +
              to_string(output_bit_width(f.layer)) + ").";
     }},
};

// ---- Rules of the tail -------------------------------------------------------------------------

const Rule<Layer> kTailRules[] = {
    {[](const Layer& l) { return layer_type(l) != LayerType::MotePostProcessing; },
     "Only a Dequantizer or a MotePostProcessing is allowed a the end of a serie of "
     "StatefulRecurrent layers."},
    {[](const Layer& l) { return input_channels(l) != 1; },
     [](const Layer& l) {
       return "MotePostProcessing layer input must have a single channel (got " +
              to_string(input_channels(l)) + ").";
     }},
    {[](const Layer& l) { return input_timesteps(l) < kMinTailTimesteps; },
     [](const Layer& l) {
       return "Timesteps dimension must be at least " + to_string(kMinTailTimesteps) + " (got " +
              to_string(input_timesteps(l)) + ").";
     }},
    {[](const Layer& l) { return input_timesteps(l) > kMaxTailTimesteps; },
     [](const Layer& l) {
       return "Timesteps dimension must be at most " + to_string(kMaxTailTimesteps) + " (got " +
              to_string(input_timesteps(l)) + ").";
     }},
};

const Rule<const Layer*> kFeedingPresentRules[] = {
    {[](const Layer* const& feeding) { return feeding == nullptr; },
     "MotePostProcessing layer has no feeding StatefulRecurrent layer."},
};

uint8_t output_scale(const Layer& l) { return l.variables().get("output_scales")->get<uint8_t>(0); }
int8_t output_shift(const Layer& l) { return l.variables().get("output_shift")->get<int8_t>(0); }

// Rules of the StatefulRecurrent layer that feeds the tail.
const Rule<Layer> kFeedingRules[] = {
    {[](const Layer& l) { return output_scale(l) != 1; },
     [](const Layer& l) {
       return "Output scales must be 1 for the last StatefulRecurrent layer before a "
              "MotePostProcessing layer (got " +
              to_string(output_scale(l)) + ").";
     }},
    {[](const Layer& l) { return output_shift(l) != 0; },
     [](const Layer& l) {
       return "Output shift must be 0 for the last StatefulRecurrent layer before a "
              "MotePostProcessing layer (got " +
              to_string(output_shift(l)) + ").";
     }},
};

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

// ---- Rules of the chain -----------------------------------------------------------------------

const Rule<Layer> kLastLayerRules[] = {
    {[](const Layer& l) { return first_outbound(l) != nullptr; },
     "Dequantizer/MotePostProcessing must be the last layer."},
};

const Rule<uint32_t> kChainLengthRules[] = {
    {[](const uint32_t& on_tnp_r_count) { return on_tnp_r_count > kMaxRecurrentLayers; },
     [](const uint32_t&) {
       return "A model cannot have more that " + to_string(kMaxRecurrentLayers) +
              " StatefulRecurrent layers.";
     }},
};

// ---- Memory rules -----------------------------------------------------------------------------

// One of the chain's four memories: its size (0 with the reason when it cannot be sized)
// against its limit.
struct MemoryFacts {
  const char* memory;
  uint32_t word_bits, size, limit;
  std::string unsized;
};

const Rule<MemoryFacts> kMemoryRules[] = {
    {[](const MemoryFacts& m) { return !m.unsized.empty(); },
     [](const MemoryFacts& m) { return std::string(m.memory) + " cannot be sized: " + m.unsized; }},
    {[](const MemoryFacts& m) { return m.unsized.empty() && m.size > m.limit; },
     [](const MemoryFacts& m) {
       return std::string(m.memory) + " size exceeds max limit of " + to_string(m.limit) + " " +
              to_string(m.word_bits) + "-bit words for TNP-R (got " + to_string(m.size) + ").";
     }},
};

struct Memory {
  const char* name;
  uint32_t word_bits;
  HardwareDescription::Word limit;
  uint32_t (*size)(const std::shared_ptr<Layer>&);
};

constexpr Memory kMemories[] = {
    {"EVSRAM", 32, HardwareDescription::evsram_32b_words, evsram_words},
    {"STSRAM", 32, HardwareDescription::stsram_32b_words, stsram_words},
    {"FSRAM", 64, HardwareDescription::fsram_64b_words, fsram_words},
    {"TSRAM", 51, HardwareDescription::tsram_51b_words, tsram_words},
};

MemoryFacts memory_facts(const Memory& memory, const HardwareDescription& description,
                         const std::shared_ptr<Layer>& start) {
  MemoryFacts facts{memory.name, memory.word_bits, 0, description[memory.limit], {}};
  try {
    facts.size = memory.size(start);
  } catch (const TnprSizingError& e) {
    facts.unsized = e.what();
  }
  return facts;
}

}  // namespace

MappingStatus check_stateful_recurrent(const std::shared_ptr<Layer>& layer,
                                       uint32_t state_channels) {
  RuleStatus status(*layer);
  status.merge(check_variable_bitwidth(layer, 6, "new_state_shift", true));
  status.merge(check_variable_bitwidth(layer, 8, "new_state_scale", true));
  status.merge(check_variable_bitwidth(layer, 5, "internal_state_outputs_shift", true));
  const auto producer = first_inbound(*layer);
  const RecurrentFacts facts{*layer,
                             input_channels(*layer),
                             input_bit_width(*layer),
                             producer && comes_from_host(*producer),
                             unsigned_param(*layer, "stateful_channels"),
                             state_channels};
  return status.every(kRecurrentRules, facts);
}

MappingStatus check_stateful_tail(const std::shared_ptr<Layer>& layer) {
  RuleStatus status(*layer);
  if (layer_type(*layer) == LayerType::Dequantizer) return status;
  status.every(kTailRules, *layer);
  const auto feeding = feeding_layer(*layer);
  status.every(kFeedingPresentRules, feeding.get());
  if (!feeding) return status;
  return status.merge(RuleStatus(*feeding).every(kFeedingRules, *feeding));
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
      status.merge(RuleStatus(*layer).every(kLastLayerRules, *layer));
    }
    layer = next;
    if (counted) ++on_tnp_r_count;
  }
  status.merge(RuleStatus(nullptr).every(kChainLengthRules, on_tnp_r_count));

  // The memory rules run whatever the chain rules found.
  RuleStatus memory(*start);
  for (const Memory& m : kMemories) memory.every(kMemoryRules, memory_facts(m, description, start));
  return status.merge(memory);
}

}  // namespace morla::mote
