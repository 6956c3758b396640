#include "backend/v2/cnp_checks.h"

#include <initializer_list>
#include <string>

#include "backend/v2/built_records.h"
#include "backend/v2/cnp_weight_layout.h"
#include "backend/v2/input_shift_memory.h"
#include "backend/v2/layer_facts.h"
#include "engine_api/layer_params.h"
#include "contract/layer_rules.h"

namespace morla::v2 {

namespace {

using Word = HardwareDescription::Word;
using F = LayerFacts;

// Largest input width under global average pooling, and largest input area.
constexpr uint32_t kGlobalPoolMaxWidth = 64;
constexpr uint32_t kGlobalPoolMaxArea = 144;

bool one_of(int value, std::initializer_list<int> allowed) {
  for (int a : allowed)
    if (value == a) return true;
  return false;
}

std::string limit_message(const char* what, uint32_t limit, uint64_t got) {
  return std::string("The maximum ") + what + " is " + std::to_string(limit) + " (got " +
         std::to_string(got) + ").";
}

// Containers of one filter over every input channel; only asked once the kernel size and
// the weight width are known to be valid.
bool filter_fits(const F& f) {
  const uint64_t containers =
      uint64_t{ch_cont_size(f.param("kernel_size"), 1, f.param("weights_bits"))} * f.input()[2];
  return containers <= f.word(Word::weight_capacity);
}

bool same_upper(const F& f) { return f.param("padding") == static_cast<int>(Padding::SameUpper); }

const Rule<F> kDimensionRules[] = {
    {[](const F& f) { return f.activation() && f.output_bits() >= 9; },
     "With activation output bitwidth should be <= 8."},
    {[](const F& f) { return f.param("weights_bits") > static_cast<int>(f.input_bits()); },
     "Input bits should be >= weights bits."},
    {[](const F& f) { return f.input()[0] > f.word(Word::max_width); },
     [](const F& f) {
       return limit_message("input width", f.word(Word::max_width), f.input()[0]);
     }},
    {[](const F& f) { return f.input()[1] > f.word(Word::max_height); },
     [](const F& f) {
       return limit_message("input height", f.word(Word::max_height), f.input()[1]);
     }},
    {[](const F& f) { return f.input()[2] > f.word(Word::max_channels); },
     [](const F& f) {
       return limit_message("input channel value", f.word(Word::max_channels), f.input()[2]);
     }},
    {[](const F& f) { return f.filters_or_channels() > f.word(Word::max_filters); },
     [](const F& f) {
       return limit_message("number of filters", f.word(Word::max_filters),
                            f.filters_or_channels());
     }},
};

const Rule<F> kInput4Or8Rules[] = {
    {[](const F& f) {
       return !one_of(f.input_bits(), {4, 8});
     },
     "Input should be 4-bit or 8-bit."},
};

const Rule<F> kInput8Rules[] = {
    {[](const F& f) { return f.input_bits() != 8; }, "Input should be 8-bit."},
};

const Rule<F> kPaddingRules[] = {
    {[](const F& f) {
       const auto padding = static_cast<Padding>(f.param("padding"));
       return padding != Padding::Same && padding != Padding::SameUpper;
     },
     "Only padding 'Same' and 'SameUpper' are supported."},
    {[](const F& f) { return same_upper(f) && f.param("kernel_stride") != 2; },
     "With SameUpper padding only stride 2 is supported."},
    {[](const F& f) { return same_upper(f) && f.activation() && f.output_bits() != 8; },
     "With SameUpper padding only 8-bit activations are supported."},
    {[](const F& f) { return same_upper(f) && f.param("weights_bits") != 8; },
     "With SameUpper padding only 8-bit weights are supported."},
};

const Rule<F> kPoolingStrideRules[] = {
    {[](const F& f) { return f.param("kernel_stride") >= 2; },
     "The CNP cannot support both pooling and stride."},
};

const Rule<F> kAveragePoolingRules[] = {
    {[](const F& f) { return f.output_bits() >= 9; },
     "With average pooling output bitwidth should be <= 8."},
    {[](const F& f) { return f.param("pool_size") != -1; },
     "Global Average pooling must be global."},
    {[](const F& f) { return f.input()[0] > kGlobalPoolMaxWidth; },
     [](const F&) {
       return "When using Global Average Pooling, input height cannot exceed " +
              std::to_string(kGlobalPoolMaxWidth) + ".";
     }},
    {[](const F& f) { return conv_record(f.layer)[3] == 0; },
     "When using Global Average Pooling, the output of the convolution must have at least 1 rows "
     "(currently 0)."},
    {[](const F& f) { return uint64_t{f.input()[0]} * f.input()[1] > kGlobalPoolMaxArea; },
     [](const F&) {
       return "When using Global Average Pooling, input dimensions width * height cannot exceed " +
              std::to_string(kGlobalPoolMaxArea) + ".";
     }},
    {[](const F& f) {
       const Shape in = f.input();
       return cnp_input_words(in[1], in[0], in[2], f.input_bits()) >
              f.word(Word::single_buffer_words);
     },
     "When using Global Average Pooling, spatial split is impossible."},
};

const Rule<F> kMaxPoolingRules[] = {
    {[](const F& f) {
       return !one_of(f.param("pool_size"), {1, 2});
     },
     "Pooling size must be 1 or 2."},
    {[](const F& f) {
       const uint32_t strides = pool_record(f.layer)[0];
       return (strides & 0xFF) != ((strides >> 8) & 0xFF);
     },
     "Pooling stride x and y must be equal."},
    {[](const F& f) {
       const int64_t size = f.param("pool_size");
       return size > int64_t{f.input()[1]} || size > int64_t{f.input()[0]};
     },
     "Pooling size cannot be greater than input dimensions."},
    {[](const F& f) { return f.lut(); }, "Max pooling is not supported with activation LUT."},
};

bool four_bit_lut(const F& f) {
  return f.activation() && f.output_bits() == 4 &&
         f.param("activation") != static_cast<int>(ActivationType::ReLU);
}

bool unactivated_width_broken(const F& f) {
  return !f.activation() && f.output_bits() != 8 && f.output_bits() != 28;
}

const char* const kFourBitLut = "4-bit activation is not supported with LUT.";
const char* const kUnactivatedWidth = "Without activation output bitwidth should be 8 or 28.";

const Rule<F> kActivation4Or8Rules[] = {
    {[](const F& f) { return f.activation() && f.output_bits() != 8 && f.output_bits() != 4; },
     "With activation output bitwidth should be 4 or 8."},
    {four_bit_lut, kFourBitLut},
    {unactivated_width_broken, kUnactivatedWidth},
};

const Rule<F> kActivation8Rules[] = {
    {[](const F& f) { return f.activation() && f.output_bits() != 8; },
     "With activation output bitwidth should be 8."},
    {four_bit_lut, kFourBitLut},
    {unactivated_width_broken, kUnactivatedWidth},
};

const Rule<F> kConv2DKernelRules[] = {
    {[](const F& f) {
       return !one_of(f.param("kernel_size"), {1, 3, 5, 7});
     },
     "Kernel size must be 1, 3, 5 or 7."},
};

const Rule<F> kDepthwiseKernelRules[] = {
    {[](const F& f) {
       return !one_of(f.param("kernel_size"), {3, 5, 7});
     },
     "Kernel size must be 3, 5 or 7."},
};

const Rule<F> kWindowedWeightRules[] = {
    {[](const F& f) {
       return !one_of(f.param("weights_bits"), {4, 8});
     },
     "Weights bitwidth should be 4-bit or 8-bit."},
};

const Rule<F> kConv2DFitRules[] = {
    {[](const F& f) { return !filter_fits(f); },
     "Filter size is too big to fit in a CNP: try decreasing the input channels or the bitwidth."},
};

const Rule<F> kConv2DPotentialRules[] = {
    {[](const F& f) {
       return f.output_bits() == 8 && !f.activation() && f.param("weights_bits") == 4;
     },
     "4-bit weights and 8-bit potential is not allowed."},
};

const Rule<F> kDepthwiseActivationRules[] = {
    {[](const F& f) {
       return f.output_bits() == 8 && f.activation() && f.param("weights_bits") == 4;
     },
     "4-bit weights and 8-bit activation is not allowed."},
};

const Rule<F> kTransposeRules[] = {
    {[](const F& f) { return f.param("weights_bits") != 8; }, "Weights should be 8-bit."},
    {[](const F& f) {
       return !one_of(f.param("kernel_size"), {3, 4});
     },
     "Kernel size must be 3 or 4."},
};

const Rule<F> kTransposeFitRules[] = {
    {[](const F& f) { return !filter_fits(f); },
     "Filter size is too big to fit in a CNP: try decreasing the input."},
};

// The steps the two windowed checks share; only the kernel sizes differ.
RuleStatus& check_windowed(RuleStatus& status, const F& f, RuleTable<F> kernel_rules) {
  status.merge(check_cnp_dimensions(*f.description, f.layer));
  status.every(kInput4Or8Rules, f);
  status.merge(check_cnp_padding(f.layer));
  status.merge(check_cnp_pooling(*f.description, f.layer));
  status.every(kernel_rules, f);
  status.merge(check_cnp_activation(f.layer, true));
  return status.every(kWindowedWeightRules, f);
}

// The common steps of the two transposed checks.
RuleStatus& check_transpose_common(RuleStatus& status, const F& f) {
  status.merge(check_cnp_dimensions(*f.description, f.layer));
  status.every(kInput8Rules, f);
  status.merge(check_cnp_activation(f.layer, false));
  return status.every(kTransposeRules, f);
}

}  // namespace

uint32_t cnp_input_words(uint32_t rows, uint32_t cols, uint32_t channels, uint32_t bits) {
  return (((cols * bits + 31) & ~31u) * channels / 32) * rows;
}

MappingStatus check_cnp_dimensions(const HardwareDescription& description, const Layer& layer) {
  RuleStatus status(layer);
  status.every(kDimensionRules, F{layer, &description});
  return status.merge(check_input_shift(description, layer));
}

MappingStatus check_cnp_padding(const Layer& layer) {
  return RuleStatus(layer).every(kPaddingRules, F{layer});
}

MappingStatus check_cnp_pooling(const HardwareDescription& description, const Layer& layer) {
  const F f{layer, &description};
  RuleStatus status(layer);
  const auto pool = static_cast<PoolType>(f.param("pool_type"));
  if (pool == PoolType::NoPooling) return status;
  status.every(kPoolingStrideRules, f);
  if (pool == PoolType::Average)
    status.every(kAveragePoolingRules, f);
  else if (pool == PoolType::Max)
    status.every(kMaxPoolingRules, f);
  return status;
}

MappingStatus check_cnp_activation(const Layer& layer, bool allow_4bit) {
  return RuleStatus(layer).every(allow_4bit ? kActivation4Or8Rules : kActivation8Rules, F{layer});
}

MappingStatus check_conv2d(const HardwareDescription& description, const Layer& layer) {
  const F f{layer, &description};
  RuleStatus status(layer);
  check_windowed(status, f, kConv2DKernelRules);
  if (!status.failed()) status.every(kConv2DFitRules, f);
  return status.every(kConv2DPotentialRules, f);
}

MappingStatus check_depthwise_conv2d(const HardwareDescription& description, const Layer& layer) {
  const F f{layer, &description};
  RuleStatus status(layer);
  check_windowed(status, f, kDepthwiseKernelRules);
  return status.every(kDepthwiseActivationRules, f);
}

MappingStatus check_conv2d_transpose(const HardwareDescription& description, const Layer& layer) {
  const F f{layer, &description};
  RuleStatus status(layer);
  check_transpose_common(status, f);
  if (!status.failed()) status.every(kTransposeFitRules, f);
  return status;
}

MappingStatus check_depthwise_conv2d_transpose(const HardwareDescription& description,
                                               const Layer& layer) {
  RuleStatus status(layer);
  return check_transpose_common(status, F{layer, &description});
}

}  // namespace morla::v2
