#include "backend/v1/fnp_checks.h"

#include <string>

#include "backend/v1/fnp_sizes.h"
#include "backend/v1/input_limits.h"
#include "backend/v1/layer_access.h"
#include "backend/v1/rule_status.h"
#include "core/device_versions.h"
#include "core/engine_api/layer_params.h"
#include "core/engine_api/v1_layers.h"
#include "program/contract/hardware_description.h"

namespace morla::v1 {

namespace {

bool is_1_2_or_4(int bits) { return bits == 1 || bits == 2 || bits == 4; }

}  // namespace

uint32_t fnp_input_limit(uint32_t hw_version) {
  return hw_version == version_word(devices::Orbi_v2) ? 57334 : 81920;
}

MappingStatus check_fully_connected(const HardwareDescription& description, const Layer& layer,
                                    uint32_t hw_version) {
  const auto& fc = as_engine_type<FullyConnected>(layer);
  RuleStatus status(fc);
  status.add_if(!is_1_2_or_4(static_cast<uint8_t>(fc.input_bits())),
                "Input bitwidth should be 1, 2 or 4.");

  const Shape input = fc.input_dims();
  if (input.size() > 0) {
    uint64_t values = 1;  // 64 bits: 4096 x 4096 x 256 wraps to 0 in 32
    for (uint32_t dim : input) values *= dim;
    const uint32_t limit = fnp_input_limit(hw_version);
    status.add_if(values > limit, "Input dimensions are too large to fit in a FNP. The maximum value is " +
                                      std::to_string(limit) + ".");
  }
  if (!status.failed() && !(input[0] == 1 && input[1] == 1))
    status.merge(check_input_dimensions(fc, input));

  // Below 1 bit the size formulas would shift by a negative amount.
  const int weights_bits = param(fc, "weights_bits");
  status.add_if(weights_bits > 4 || weights_bits < 1, "Weight bits should be between 1 and 4 inclusive.");
  if (param(fc, "activation") != 0)
    status.add_if(!is_1_2_or_4(param(fc, "act_bits")), "act_bits should be 1, 2 or 4.");

  if (!status.failed()) {
    const uint64_t capacity = description[HardwareDescription::fnp_input_words];
    const uint64_t words = fnp_input_words(fc);
    status.add_if(words > capacity, "Input size exceeds memory. Maximum size is " +
                                        std::to_string(capacity * 4) + " bytes. (got " +
                                        std::to_string(words * 4) + " bytes).");
  }
  return status;
}

MappingStatus check_fnp_weight_range(const Layer& layer) {
  const int bits = param(layer, "weights_bits");
  const int limit = bits == 1 ? 2 : 1 << (bits - 1);
  const auto weights = variable(layer, "weights");
  const int8_t* values = weights->data<int8_t>();
  RuleStatus status(layer);
  const size_t n = weights->size();
  // One pass without an early exit (which vectorises), then the first value out of range.
  int outside = 0;
  for (size_t i = 0; i < n; ++i) outside |= (values[i] >= limit) | (values[i] <= -limit);
  if (outside == 0) return status;
  for (size_t i = 0; i < n; ++i) {
    if (values[i] < limit && values[i] > -limit) continue;
    return status
        .add_if(true, "Weights contain values out of range (" + std::to_string(1 - limit) + ", " +
                          std::to_string(limit - 1) + ") (e.g.: " + std::to_string(values[i]) + ").")
        .status();
  }
  return status;
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
  return status
      .add_if(mismatch, "The number of weights per neuron should match the num_weights MorlaUnsupervised parameter.")
      .status();
}

}  // namespace morla::v1
