#include "backend/v1/hrc_checks.h"

#include <algorithm>
#include <stdexcept>
#include <string>

#include "backend/v1/layer_access.h"
#include "backend/v1/rule_status.h"
#include "core/enums.h"
#include "core/engine_api/v1_layers.h"
#include "ops/conversion.h"

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

}  // namespace

MappingStatus check_input_convolutional(const Layer& layer) {
  const auto& hrc = as_engine_type<InputConvolutional>(layer);
  const auto p = [&](const char* key) { return param(hrc, key); };
  RuleStatus status(hrc);

  const int kernel_height = p("kernel_height"), kernel_width = p("kernel_width");
  const auto kernel = static_cast<uint8_t>(kernel_width);
  status.add_if(kernel_height != kernel_width, "Kernel size should be symmetric.");
  const bool kernel_ok = kernel == 3 || kernel == 5 || kernel == 7;
  status.add_if(!kernel_ok, "Kernel size should be 3, 5 or 7.");
  const bool activation = p("activation") != 0;
  if (activation)
    status.add_if(!is_1_2_or_4(p("act_bits")), "The parameter act_bits should be 1, 2 or 4.");
  const int channels = p("input_channels");
  status.add_if(channels != 1 && channels != 3, "The parameter input_channels must be 1 or 3.");
  status.add_if(!is_1_2_or_3(p("stride_x")), "The parameter stride_x should be 1, 2 or 3.");
  const int stride_y = p("stride_y");
  status.add_if(!is_1_2_or_3(stride_y), "The parameter stride_y should be 1, 2 or 3.");
  if (kernel_ok) {
    const int filters = p("filters"), most = max_neurons(kernel, channels);
    status.add_if(filters < 1 || filters > most,
                  "The parameter num_neurons should be set between 1 and " + std::to_string(most) + ".");
  }

  const int height = p("input_height"), width = p("input_width");
  if (p("padding") != 0) {
    status.add_if(height < kMinInputSize, second_dimension_message("Input", kMinInputSize));
  } else {
    const int minimum = std::max(kMinInputSize, kernel_height + stride_y);
    // The prefix ends with a blank and the pattern starts with one: two blanks, as the
    // HRC's users have always read it.
    const std::string prefix = "With valid padding, a " + std::to_string(kernel) +
                               " kernel size and a " + std::to_string(stride_y) +
                               " kernel stride, input ";
    status.add_if(height < minimum, second_dimension_message(prefix, minimum));
  }
  status.add_if(width < kMinInputSize, "Input first dimension size cannot be smaller than " +
                                           std::to_string(kMinInputSize) + ".");
  status.add_if(width < kernel, "Input first dimension size cannot be smaller than kernel size.");
  status.add_if(height > static_cast<int>(kMaxInputHeight),
                "The maximum input second dimension size is " + std::to_string(kMaxInputHeight) +
                    " (got " + std::to_string(height) + ").");

  const auto pool_type = static_cast<PoolType>(p("pool_type"));
  if (pool_type == PoolType::Average) {
    status.add_if(true, "The parameter pool_type cannot be Average.");
  } else if (pool_type == PoolType::Max) {
    const int pool_height = p("pooling_height"), pool_width = p("pooling_width");
    status.add_if(!is_1_or_2(pool_height), "The parameter pooling_y should be 1 or 2.");
    status.add_if(!is_1_or_2(pool_width), "The parameter pooling_x should be 1 or 2.");
    const int stride_x = p("pooling_stride_x") < 0 ? pool_width : p("pooling_stride_x");
    const int stride_y_pool = p("pooling_stride_y") < 0 ? pool_height : p("pooling_stride_y");
    status.add_if(pool_width != stride_x || pool_height != stride_y_pool,
                  "The parameter pool_size and pool_stride should be equal.");
    status.add_if(hrc.output_dims()[1] < 2,
                  "With max pooling, output second dimension size must be at least 2.");
  }

  status.add_if(!activation,
                "The first convolutional layer of a model can only be mapped if its activations are enabled.");
  status.add_if(all_zero_bytes(*variable(hrc, "weights")), "All weights in a hrc layer cannot be zeroes.");
  if (!status.failed()) {
    const std::string error = act_step_range_error(*variable(hrc, "act_step"));
    status.add_if(!error.empty(), error);
  }
  return status;
}

}  // namespace morla::v1
