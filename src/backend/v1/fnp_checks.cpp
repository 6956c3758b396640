#include "backend/v1/fnp_checks.h"

#include <optional>
#include <string>

#include "backend/v1/fnp_sizes.h"
#include "backend/v1/input_limits.h"
#include "backend/v1/layer_access.h"
#include "core/device_versions.h"
#include "engine_api/layer_params.h"
#include "engine_api/v1_layers.h"
#include "contract/hardware_description.h"
#include "contract/layer_rules.h"

namespace morla::v1 {

namespace {

bool is_1_2_or_4(int bits) { return bits == 1 || bits == 2 || bits == 4; }

// What the FullyConnected rules read of a layer.
struct FnpFacts {
  const Layer& layer;
  const HardwareDescription& description;
  int input_bits;
  Shape input;
  uint64_t input_values;  // 0 for an input without dimensions
  uint32_t input_limit;
  int weights_bits, activation;

  uint64_t capacity() const { return description[HardwareDescription::fnp_input_words]; }
  uint64_t input_words() const { return fnp_input_words(layer); }
};

const Rule<FnpFacts> kInputRules[] = {
    {[](const FnpFacts& f) { return !is_1_2_or_4(f.input_bits); },
     "Input bitwidth should be 1, 2 or 4."},
    {[](const FnpFacts& f) { return f.input_values > f.input_limit; },
     [](const FnpFacts& f) {
       return "Input dimensions are too large to fit in a FNP. The maximum value is " +
              std::to_string(f.input_limit) + ".";
     }},
};

const Rule<FnpFacts> kBitRules[] = {
    // Below 1 bit the size formulas would shift by a negative amount.
    {[](const FnpFacts& f) { return f.weights_bits > 4 || f.weights_bits < 1; },
     "Weight bits should be between 1 and 4 inclusive."},
    {[](const FnpFacts& f) {
       return f.activation != 0 && !is_1_2_or_4(param(f.layer, "act_bits"));
     },
     "act_bits should be 1, 2 or 4."},
};

const Rule<FnpFacts> kMemoryRules[] = {
    {[](const FnpFacts& f) { return f.input_words() > f.capacity(); },
     [](const FnpFacts& f) {
       return "Input size exceeds memory. Maximum size is " + std::to_string(f.capacity() * 4) +
              " bytes. (got " + std::to_string(f.input_words() * 4) + " bytes).";
     }},
};

// The weight range of "weights_bits" and the first weight outside it.
struct RangeFacts {
  int limit;
  std::optional<int> first_outside;
};

const Rule<RangeFacts> kWeightRangeRules[] = {
    {[](const RangeFacts& f) { return f.first_outside.has_value(); },
     [](const RangeFacts& f) {
       return "Weights contain values out of range (" + std::to_string(1 - f.limit) + ", " +
              std::to_string(f.limit - 1) + ") (e.g.: " + std::to_string(*f.first_outside) + ").";
     }},
};

const Rule<bool> kWeightsPerNeuronRules[] = {
    {[](const bool& mismatch) { return mismatch; },
     "The number of weights per neuron should match the num_weights MorlaUnsupervised parameter."},
};

}  // namespace

uint32_t fnp_input_limit(uint32_t hw_version) {
  return hw_version == version_word(devices::Orbi_v2) ? 57334 : 81920;
}

MappingStatus check_fully_connected(const HardwareDescription& description, const Layer& layer,
                                    uint32_t hw_version) {
  const auto& fc = as_engine_type<FullyConnected>(layer);
  const Shape input = fc.input_dims();
  uint64_t values = input.size() > 0 ? 1 : 0;  // 64 bits: 4096 x 4096 x 256 wraps to 0 in 32
  for (uint32_t dim : input) values *= dim;
  const FnpFacts f{fc,
                   description,
                   static_cast<uint8_t>(fc.input_bits()),
                   input,
                   values,
                   fnp_input_limit(hw_version),
                   param(fc, "weights_bits"),
                   param(fc, "activation")};
  RuleStatus status(fc);
  status.every(kInputRules, f);
  if (!status.failed() && !(input[0] == 1 && input[1] == 1))
    status.merge(check_input_dimensions(fc, input));
  status.every(kBitRules, f);
  if (!status.failed()) status.every(kMemoryRules, f);
  return status;
}

MappingStatus check_fnp_weight_range(const Layer& layer) {
  const int bits = param(layer, "weights_bits");
  const int limit = bits == 1 ? 2 : 1 << (bits - 1);
  const auto weights = variable(layer, "weights");
  const int8_t* values = weights->data<int8_t>();
  const size_t n = weights->size();
  RangeFacts f{limit, std::nullopt};
  // One pass without an early exit (which vectorises), then the first value out of range.
  int outside = 0;
  for (size_t i = 0; i < n; ++i) outside |= (values[i] >= limit) | (values[i] <= -limit);
  for (size_t i = 0; outside != 0 && i < n && !f.first_outside; ++i)
    if (values[i] >= limit || values[i] <= -limit) f.first_outside = values[i];
  return RuleStatus(layer).every(kWeightRangeRules, f);
}

MappingStatus check_fnp_weights_per_neuron(const Layer& layer) {
  RuleStatus status(layer);
  if (!as_engine_type<FullyConnected>(layer).compiled()) return status;
  const auto wanted = static_cast<int64_t>(layer.learning_params()->get("num_weights"));
  const auto weights = variable(layer, "weights");
  const Shape shape = weights->shape();
  const std::vector<uint32_t> strides = weights->strides();
  const int8_t* values = weights->data<int8_t>();
  const uint32_t rows = shape[0];
  uint64_t row_length = 1;
  for (size_t d = 1; d < shape.size(); ++d) row_length *= shape[d];
  const uint32_t step = shape.size() > 1 ? strides[1] : 0;
  bool mismatch = false;
  for (uint32_t r = 0; r < rows && !mismatch; ++r) {
    int64_t non_zero = 0;
    const int8_t* row = values + size_t{r} * strides[0];
    for (uint64_t j = 0; j < row_length; ++j) non_zero += row[j * step] != 0;
    mismatch = non_zero != wanted;
  }
  return status.every(kWeightsPerNeuronRules, mismatch);
}

}  // namespace morla::v1
