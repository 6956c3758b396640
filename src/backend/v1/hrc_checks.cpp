#include "backend/v1/hrc_checks.h"

#include <algorithm>
#include <stdexcept>
#include <string>

#include "backend/v1/layer_access.h"
#include "engine_api/v1_layers.h"
#include "core/enums.h"
#include "ops/conversion.h"
#include "contract/layer_rules.h"

namespace morla::v1 {

namespace {

constexpr int kMinInputSize = 5;
constexpr uint32_t kMaxInputHeight = 256;

bool is_1_2_or_4(int bits) { return bits == 1 || bits == 2 || bits == 4; }
bool is_1_2_or_3(int value) { return value >= 1 && value <= 3; }
bool is_1_or_2(int value) { return value == 1 || value == 2; }

// Most filters the HRC takes for a kernel size; three input channels leave fewer.
int max_neurons(uint8_t kernel, int input_channels) {
  const bool rgb = input_channels == 3;
  switch (kernel) {
    case 3: return rgb ? 192 : 512;
    case 5: return rgb ? 64 : 192;
    case 7: return rgb ? 32 : 96;
    default: throw std::runtime_error("Wrong kernel size.");
  }
}

std::string second_dimension_message(const std::string& what, int minimum) {
  return what + " second dimension size cannot be smaller than " + std::to_string(minimum) + ".";
}

bool all_zero_bytes(const Dense& tensor) {
  const auto* bytes = static_cast<const uint8_t*>(tensor.buffer().data());
  const size_t size = tensor.buffer().size();
  for (size_t i = 0; i < size; ++i)
    if (bytes[i] != 0) return false;
  return true;
}

// The first activation step (in 1/16 units) outside 0 .. 2^24 - 1, as its message.
std::string act_step_range_error(const Dense& act_step) {
  const auto fixed = float_to_fixed_q4(act_step);
  const int32_t* steps = fixed->data<int32_t>();
  for (size_t i = 0, n = fixed->size(); i < n; ++i)
    if (static_cast<uint32_t>(steps[i]) >= 0x1000000u)
      return "The parameter act_step should be between 0 and 1048575. Receives act_step " +
             std::to_string(steps[i] / 16) + ".";
  return {};
}

// What the HRC rules read of a layer.
struct HrcFacts {
  const Layer& layer;
  int kernel_height, kernel_width, activation, channels, stride_y, height, width, padding;
  PoolType pool_type;

  int p(const char* key) const { return param(layer, key); }
  uint8_t kernel() const { return static_cast<uint8_t>(kernel_width); }
  bool kernel_ok() const { return kernel() == 3 || kernel() == 5 || kernel() == 7; }
  int max_filters() const { return max_neurons(kernel(), channels); }
  int min_valid_height() const { return std::max(kMinInputSize, kernel_height + stride_y); }
  bool max_pooling() const { return pool_type == PoolType::Max; }
  int pool_stride_x() const {
    return p("pooling_stride_x") < 0 ? p("pooling_width") : p("pooling_stride_x");
  }
  int pool_stride_y() const {
    return p("pooling_stride_y") < 0 ? p("pooling_height") : p("pooling_stride_y");
  }
};

const Rule<HrcFacts> kHrcRules[] = {
    {[](const HrcFacts& f) { return f.kernel_height != f.kernel_width; },
     "Kernel size should be symmetric."},
    {[](const HrcFacts& f) { return !f.kernel_ok(); }, "Kernel size should be 3, 5 or 7."},
    {[](const HrcFacts& f) { return f.activation != 0 && !is_1_2_or_4(f.p("act_bits")); },
     "The parameter act_bits should be 1, 2 or 4."},
    {[](const HrcFacts& f) { return f.channels != 1 && f.channels != 3; },
     "The parameter input_channels must be 1 or 3."},
    {[](const HrcFacts& f) { return !is_1_2_or_3(f.p("stride_x")); },
     "The parameter stride_x should be 1, 2 or 3."},
    {[](const HrcFacts& f) { return !is_1_2_or_3(f.stride_y); },
     "The parameter stride_y should be 1, 2 or 3."},
    {[](const HrcFacts& f) {
       return f.kernel_ok() && (f.p("filters") < 1 || f.p("filters") > f.max_filters());
     },
     [](const HrcFacts& f) {
       return "The parameter num_neurons should be set between 1 and " +
              std::to_string(f.max_filters()) + ".";
     }},
    {[](const HrcFacts& f) { return f.padding != 0 && f.height < kMinInputSize; },
     [](const HrcFacts&) { return second_dimension_message("Input", kMinInputSize); }},
    {[](const HrcFacts& f) { return f.padding == 0 && f.height < f.min_valid_height(); },
     [](const HrcFacts& f) {
       // The prefix ends with a blank and the pattern starts with one: two blanks, as the
       // HRC's users have always read it.
       const std::string prefix = "With valid padding, a " + std::to_string(f.kernel()) +
                                  " kernel size and a " + std::to_string(f.stride_y) +
                                  " kernel stride, input ";
       return second_dimension_message(prefix, f.min_valid_height());
     }},
    {[](const HrcFacts& f) { return f.width < kMinInputSize; },
     [](const HrcFacts&) {
       return "Input first dimension size cannot be smaller than " + std::to_string(kMinInputSize) +
              ".";
     }},
    {[](const HrcFacts& f) { return f.width < f.kernel(); },
     "Input first dimension size cannot be smaller than kernel size."},
    {[](const HrcFacts& f) { return f.height > static_cast<int>(kMaxInputHeight); },
     [](const HrcFacts& f) {
       return "The maximum input second dimension size is " + std::to_string(kMaxInputHeight) +
              " (got " + std::to_string(f.height) + ").";
     }},
    {[](const HrcFacts& f) { return f.pool_type == PoolType::Average; },
     "The parameter pool_type cannot be Average."},
    {[](const HrcFacts& f) { return f.max_pooling() && !is_1_or_2(f.p("pooling_height")); },
     "The parameter pooling_y should be 1 or 2."},
    {[](const HrcFacts& f) { return f.max_pooling() && !is_1_or_2(f.p("pooling_width")); },
     "The parameter pooling_x should be 1 or 2."},
    {[](const HrcFacts& f) {
       return f.max_pooling() && (f.p("pooling_width") != f.pool_stride_x() ||
                                  f.p("pooling_height") != f.pool_stride_y());
     },
     "The parameter pool_size and pool_stride should be equal."},
    {[](const HrcFacts& f) { return f.max_pooling() && f.layer.output_dims()[1] < 2; },
     "With max pooling, output second dimension size must be at least 2."},
    {[](const HrcFacts& f) { return f.activation == 0; },
     "The first convolutional layer of a model can only be mapped if its activations are enabled."},
    {[](const HrcFacts& f) { return all_zero_bytes(*variable(f.layer, "weights")); },
     "All weights in a hrc layer cannot be zeroes."},
};

const Rule<std::string> kActStepRules[] = {
    {[](const std::string& error) { return !error.empty(); },
     [](const std::string& error) { return error; }},
};

}  // namespace

MappingStatus check_input_convolutional(const Layer& layer) {
  const auto& hrc = as_engine_type<InputConvolutional>(layer);
  const auto p = [&](const char* key) { return param(hrc, key); };
  const HrcFacts f{hrc,
                   p("kernel_height"),
                   p("kernel_width"),
                   p("activation"),
                   p("input_channels"),
                   p("stride_y"),
                   p("input_height"),
                   p("input_width"),
                   p("padding"),
                   static_cast<PoolType>(p("pool_type"))};
  RuleStatus status(hrc);
  status.every(kHrcRules, f);
  if (!status.failed())
    status.every(kActStepRules, act_step_range_error(*variable(hrc, "act_step")));
  return status;
}

}  // namespace morla::v1
