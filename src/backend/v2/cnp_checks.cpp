#include "backend/v2/cnp_checks.h"

#include <initializer_list>
#include <string>

#include "backend/v2/built_records.h"
#include "backend/v2/cnp_weight_layout.h"
#include "backend/v2/input_shift_memory.h"
#include "backend/v2/rule_check.h"
#include "core/engine_api/layer_params.h"
#include "backend/v2/variable_access.h"

namespace morla::v2 {

namespace {

using Word = HardwareDescription::Word;

// Largest input width under global average pooling, and largest input area.
constexpr uint32_t kGlobalPoolMaxWidth = 64;
constexpr uint32_t kGlobalPoolMaxArea = 144;

bool one_of(int value, std::initializer_list<int> allowed) {
  for (int a : allowed)
    if (value == a) return true;
  return false;
}

uint32_t output_bits(const Layer& layer) { return layer.output_bits() & 0xFF; }
uint32_t input_bits(const Layer& layer) { return layer.input_bits() & 0xFF; }

std::string limit_message(const char* what, uint32_t limit, uint64_t got) {
  return std::string("The maximum ") + what + " is " + std::to_string(limit) + " (got " +
         std::to_string(got) + ").";
}

// Containers of one filter over every input channel; only asked once the kernel size and
// the weight width are known to be valid.
bool filter_fits(const HardwareDescription& description, const Layer& layer) {
  const uint64_t containers =
      uint64_t{ch_cont_size(param(layer, "kernel_size"), 1, param(layer, "weights_bits"))} *
      layer.input_dims()[2];
  return containers <= description[Word::weight_capacity];
}

void check_input_bits(RuleCheck& r, const Layer& layer, bool allow_4bit) {
  if (allow_4bit)
    r.fail_if(!one_of(input_bits(layer), {4, 8}), "Input should be 4-bit or 8-bit.");
  else
    r.fail_if(input_bits(layer) != 8, "Input should be 8-bit.");
}

void check_average_pooling(RuleCheck& r, const HardwareDescription& description,
                           const Layer& layer) {
  const Shape in = layer.input_dims();
  r.fail_if(output_bits(layer) >= 9, "With average pooling output bitwidth should be <= 8.");
  r.fail_if(param(layer, "pool_size") != -1, "Global Average pooling must be global.");
  r.fail_if(in[0] > kGlobalPoolMaxWidth,
            "When using Global Average Pooling, input height cannot exceed " +
                std::to_string(kGlobalPoolMaxWidth) + ".");
  r.fail_if(conv_record(layer)[3] == 0,
            "When using Global Average Pooling, the output of the convolution must have at "
            "least 1 rows (currently 0).");
  r.fail_if(uint64_t{in[0]} * in[1] > kGlobalPoolMaxArea,
            "When using Global Average Pooling, input dimensions width * height cannot exceed " +
                std::to_string(kGlobalPoolMaxArea) + ".");
  r.fail_if(cnp_input_words(in[1], in[0], in[2], input_bits(layer)) >
                description[Word::single_buffer_words],
            "When using Global Average Pooling, spatial split is impossible.");
}

void check_max_pooling(RuleCheck& r, const Layer& layer) {
  const Shape in = layer.input_dims();
  const int size = param(layer, "pool_size");
  const uint32_t strides = pool_record(layer)[0];
  r.fail_if(!one_of(size, {1, 2}), "Pooling size must be 1 or 2.");
  r.fail_if((strides & 0xFF) != ((strides >> 8) & 0xFF), "Pooling stride x and y must be equal.");
  r.fail_if(int64_t{size} > int64_t{in[1]} || int64_t{size} > int64_t{in[0]},
            "Pooling size cannot be greater than input dimensions.");
  r.fail_if(layer.has_activation_type(ActivationType::LUT),
            "Max pooling is not supported with activation LUT.");
}

}  // namespace

uint32_t cnp_input_words(uint32_t rows, uint32_t cols, uint32_t channels, uint32_t bits) {
  return (((cols * bits + 31) & ~31u) * channels / 32) * rows;
}

MappingStatus check_cnp_dimensions(const HardwareDescription& description, const Layer& layer) {
  RuleCheck r(layer);
  const Shape in = layer.input_dims();
  const uint32_t x = in[0], y = in[1], c = in[2];
  r.fail_if(layer.has_activation() && output_bits(layer) >= 9,
            "With activation output bitwidth should be <= 8.");
  r.fail_if(param(layer, "weights_bits") > static_cast<int>(input_bits(layer)),
            "Input bits should be >= weights bits.");
  r.fail_if(x > description[Word::max_width],
            limit_message("input width", description[Word::max_width], x));
  r.fail_if(y > description[Word::max_height],
            limit_message("input height", description[Word::max_height], y));
  r.fail_if(c > description[Word::max_channels],
            limit_message("input channel value", description[Word::max_channels], c));
  const uint32_t filters =
      layer.params()->has("filters") ? static_cast<uint32_t>(param(layer, "filters")) : c;
  r.fail_if(filters > description[Word::max_filters],
            limit_message("number of filters", description[Word::max_filters], filters));
  check_input_shift(r, description, layer);
  return r.status();
}

MappingStatus check_cnp_padding(const Layer& layer) {
  RuleCheck r(layer);
  const auto padding = static_cast<Padding>(param(layer, "padding"));
  r.fail_if(padding != Padding::Same && padding != Padding::SameUpper,
            "Only padding 'Same' and 'SameUpper' are supported.");
  if (padding == Padding::SameUpper) {
    r.fail_if(param(layer, "kernel_stride") != 2,
              "With SameUpper padding only stride 2 is supported.");
    r.fail_if(layer.has_activation() && output_bits(layer) != 8,
              "With SameUpper padding only 8-bit activations are supported.");
    r.fail_if(param(layer, "weights_bits") != 8,
              "With SameUpper padding only 8-bit weights are supported.");
  }
  return r.status();
}

MappingStatus check_cnp_pooling(const HardwareDescription& description, const Layer& layer) {
  RuleCheck r(layer);
  const auto pool = static_cast<PoolType>(param(layer, "pool_type"));
  if (pool == PoolType::NoPooling) return r.status();
  r.fail_if(param(layer, "kernel_stride") >= 2, "The CNP cannot support both pooling and stride.");
  if (pool == PoolType::Average) check_average_pooling(r, description, layer);
  else if (pool == PoolType::Max) check_max_pooling(r, layer);
  return r.status();
}

MappingStatus check_cnp_activation(const Layer& layer, bool allow_4bit) {
  RuleCheck r(layer);
  const uint32_t bits = output_bits(layer);
  if (layer.has_activation()) {
    r.fail_if(bits != 8 && !(bits == 4 && allow_4bit),
              allow_4bit ? "With activation output bitwidth should be 4 or 8."
                         : "With activation output bitwidth should be 8.");
    r.fail_if(bits == 4 && param(layer, "activation") != static_cast<int>(ActivationType::ReLU),
              "4-bit activation is not supported with LUT.");
  } else {
    r.fail_if(bits != 8 && bits != 28, "Without activation output bitwidth should be 8 or 28.");
  }
  return r.status();
}

namespace {

// The steps the two windowed checks share; only the kernel sizes differ.
void check_windowed(RuleCheck& r, const HardwareDescription& description, const Layer& layer,
                    std::initializer_list<int> kernels, const char* kernel_message) {
  r.merge(check_cnp_dimensions(description, layer));
  check_input_bits(r, layer, true);
  r.merge(check_cnp_padding(layer));
  r.merge(check_cnp_pooling(description, layer));
  r.fail_if(!one_of(param(layer, "kernel_size"), kernels), kernel_message);
  r.merge(check_cnp_activation(layer, true));
  r.fail_if(!one_of(param(layer, "weights_bits"), {4, 8}),
            "Weights bitwidth should be 4-bit or 8-bit.");
}

}  // namespace

MappingStatus check_conv2d(const HardwareDescription& description, const Layer& layer) {
  RuleCheck r(layer);
  check_windowed(r, description, layer, {1, 3, 5, 7}, "Kernel size must be 1, 3, 5 or 7.");
  if (r.ok())
    r.fail_if(!filter_fits(description, layer),
              "Filter size is too big to fit in a CNP: try decreasing the input channels or the "
              "bitwidth.");
  r.fail_if(output_bits(layer) == 8 && !layer.has_activation() && param(layer, "weights_bits") == 4,
            "4-bit weights and 8-bit potential is not allowed.");
  return r.status();
}

MappingStatus check_depthwise_conv2d(const HardwareDescription& description, const Layer& layer) {
  RuleCheck r(layer);
  check_windowed(r, description, layer, {3, 5, 7}, "Kernel size must be 3, 5 or 7.");
  r.fail_if(output_bits(layer) == 8 && layer.has_activation() && param(layer, "weights_bits") == 4,
            "4-bit weights and 8-bit activation is not allowed.");
  return r.status();
}

namespace {

// The common steps of the two transposed checks.
void check_transpose_common(RuleCheck& r, const HardwareDescription& description,
                            const Layer& layer) {
  r.merge(check_cnp_dimensions(description, layer));
  check_input_bits(r, layer, false);
  r.merge(check_cnp_activation(layer, false));
  r.fail_if(param(layer, "weights_bits") != 8, "Weights should be 8-bit.");
  r.fail_if(!one_of(param(layer, "kernel_size"), {3, 4}), "Kernel size must be 3 or 4.");
}

}  // namespace

MappingStatus check_conv2d_transpose(const HardwareDescription& description, const Layer& layer) {
  RuleCheck r(layer);
  check_transpose_common(r, description, layer);
  if (r.ok())
    r.fail_if(!filter_fits(description, layer),
              "Filter size is too big to fit in a CNP: try decreasing the input.");
  return r.status();
}

MappingStatus check_depthwise_conv2d_transpose(const HardwareDescription& description,
                                               const Layer& layer) {
  RuleCheck r(layer);
  check_transpose_common(r, description, layer);
  return r.status();
}

}  // namespace morla::v2
