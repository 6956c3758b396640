#include "backend/v1/cnp_checks.h"

#include <algorithm>
#include <string>

#include "backend/v1/cnp_weight_sizes.h"
#include "backend/v1/input_limits.h"
#include "backend/v1/layer_access.h"
#include "core/device_versions.h"
#include "engine_api/v1_layers.h"
#include "core/enums.h"
#include "contract/layer_rules.h"

namespace morla::v1 {

namespace {

constexpr uint32_t kMaxFilters = 2048;
constexpr uint32_t kMaxAveragePoolingWidth = 32;
constexpr uint32_t kAveragePoolingInputWords = 10752;
constexpr int kAverage = static_cast<int>(PoolType::Average);
constexpr int kMax = static_cast<int>(PoolType::Max);

bool is_orbi_v2(uint32_t hw_version) { return hw_version == version_word(devices::Orbi_v2); }

// What the CNP rules read of a layer.
struct CnpFacts {
  const Layer& layer;
  const HardwareDescription* description;
  int filters, kernel_width, kernel_height, stride_x, stride_y, padding, pool_type, pooling_width,
      pooling_height, pooling_stride_x, pooling_stride_y, weights_bits;
  Shape input;
  uint32_t input_bits;
  const uint32_t* conv_record;
  const uint32_t* pool_record;
  bool orbi_v2;

  int pool_size() const { return static_cast<uint8_t>(pooling_width); }
  uint8_t pool_stride_x() const { return static_cast<uint8_t>(pool_record[0]); }
  uint8_t pool_stride_y() const { return static_cast<uint8_t>(pool_record[0] >> 8); }
  uint32_t conv_rows() const { return conv_record[3]; }
};

CnpFacts cnp_facts(const Layer& layer, const HardwareDescription* description,
                   const uint32_t* conv_record, const uint32_t* pool_record, uint32_t hw_version) {
  const auto p = [&](const char* key) { return param(layer, key); };
  return {layer,
          description,
          p("filters"),
          p("kernel_width"),
          p("kernel_height"),
          p("stride_x"),
          p("stride_y"),
          p("padding"),
          p("pool_type"),
          p("pooling_width"),
          p("pooling_height"),
          p("pooling_stride_x"),
          p("pooling_stride_y"),
          p("weights_bits"),
          layer.input_dims(),
          static_cast<uint8_t>(layer.input_bits()),
          conv_record,
          pool_record,
          is_orbi_v2(hw_version)};
}

const Rule<CnpFacts> kGeometryRules[] = {
    {[](const CnpFacts& c) { return static_cast<uint32_t>(c.filters) > kMaxFilters; },
     [](const CnpFacts& c) {
       return "The maximum number of filters is " + std::to_string(kMaxFilters) + " (got " +
              std::to_string(c.filters) + ").";
     }},
    {[](const CnpFacts& c) { return c.kernel_width != c.kernel_height; },
     "Kernel width and height must be equal."},
    {[](const CnpFacts& c) { return c.stride_x != c.stride_y; },
     "Horizontal and vertical strides must be equal."},
    // Strides below 1 would divide by zero in the sizer and the recorder.
    {[](const CnpFacts& c) { return c.stride_x >= 3 || c.stride_x < 1; },
     "Convolution stride must be 1 or 2."},
    {[](const CnpFacts& c) { return c.stride_x == 2 && c.kernel_width != 3; },
     "Convolution stride 2 is only supported for 3x3 kernels."},
    {[](const CnpFacts& c) { return c.padding != static_cast<int>(Padding::Same); },
     "Only padding same is supported."},
};

const Rule<CnpFacts> kAveragePoolingRules[] = {
    {[](const CnpFacts& c) { return c.pooling_width != -1; }, "Average pooling must be global."},
    // The limit is named after the height but applies to dimension 0.
    {[](const CnpFacts& c) { return c.input[0] > kMaxAveragePoolingWidth; },
     [](const CnpFacts&) {
       return "With average pooling, input height cannot exceed " +
              std::to_string(kMaxAveragePoolingWidth) + ".";
     }},
    {[](const CnpFacts& c) { return c.conv_rows() < 3; },
     [](const CnpFacts& c) {
       return "When using Global Average Pooling, the output of the convolution must have at "
              "least 3 rows (currently " +
              std::to_string(c.conv_rows()) + ").";
     }},
    {[](const CnpFacts& c) {
       return packed_words(packed_bytes(c.input[0], c.input_bits), c.input[2], c.input[1]) >
              kAveragePoolingInputWords;
     },
     "With average pooling, spatial split is impossible."},
};

const Rule<CnpFacts> kMaxPoolingRules[] = {
    {[](const CnpFacts& c) { return c.pool_size() < 1 || c.pool_size() > 3; },
     "Pooling size must be 1, 2 or 3."},
    {[](const CnpFacts& c) { return c.orbi_v2 && c.pool_size() == 3; },
     "Pooling size 3 is not supported on Orbi_v2."},
    {[](const CnpFacts& c) { return c.pooling_height != c.pool_size(); },
     "Pooling width and height must be equal."},
    {[](const CnpFacts& c) { return c.pool_stride_x() != c.pool_stride_y(); },
     "Pooling stride x and y must be equal."},
    {[](const CnpFacts& c) { return c.pool_size() < static_cast<int8_t>(c.pool_stride_x()); },
     "Pooling stride must be equal or lower than pooling size."},
    {[](const CnpFacts& c) {
       const auto size = static_cast<uint32_t>(c.pool_size());
       return size > c.input[0] || size > c.input[1];
     },
     "Pooling size cannot be greater than input dimensions."},
};

const char* const kFilterTooBig =
    "Filter size is too big to fit in a CNP: try decreasing the input channels or the bitwidth.";

const Rule<CnpFacts> kFilterFitRule[] = {
    {[](const CnpFacts& c) { return !fits_cnp_weights(*c.description, c.layer, 1); },
     kFilterTooBig},
};

const Rule<CnpFacts> kConvolutionalRules[] = {
    {[](const CnpFacts& c) {
       return c.kernel_width != 1 && c.kernel_width != 3 && c.kernel_width != 5 &&
              c.kernel_width != 7;
     },
     "Kernel size must be 1, 3, 5 or 7."},
    {[](const CnpFacts& c) {
       return c.weights_bits != 1 && c.weights_bits != 2 && c.weights_bits != 4;
     },
     "Standard CNP weights bitwidth must be 1, 2 or 4."},
};

const Rule<CnpFacts> kSeparableRules[] = {
    {[](const CnpFacts& c) {
       return c.kernel_width != 3 && c.kernel_width != 5 && c.kernel_width != 7;
     },
     "Kernel size must be 3, 5 or 7."},
    {[](const CnpFacts& c) { return c.weights_bits != 2 && c.weights_bits != 4; },
     "Separable CNP weights bitwidth must be 2 or 4."},
    {[](const CnpFacts& c) {
       return c.pool_type == kAverage && c.input[0] == 1 && c.input[1] == 1;
     },
     "Separable CNP with Global Average Pooling does not support 1x1 inputs."},
};

bool starts_away_from_origin(const hw::Component& component) {
  return component.np_block && (component.np_block->spatial_partition.x != 0 ||
                                component.np_block->spatial_partition.y != 0);
}

bool any_spatial_split(const std::vector<hw::Component>& components) {
  return std::any_of(components.begin(), components.end(), starts_away_from_origin);
}

// A layer spread over several NPs, with its parameters.
struct SplitFacts {
  CnpFacts cnp;
  bool spatial_split;

  // A negative pooling stride stands for the pooling size, as when the layer is built: taken
  // literally, every spatially split max-pooling layer with default strides would fail.
  int stride_x() const {
    return cnp.pooling_stride_x < 0 ? cnp.pooling_width : cnp.pooling_stride_x;
  }
  int stride_y() const {
    return cnp.pooling_stride_y < 0 ? cnp.pooling_height : cnp.pooling_stride_y;
  }
};

const Rule<SplitFacts> kMultiNpConvolutionRules[] = {
    {[](const SplitFacts& s) {
       return (s.cnp.stride_x >= 2 || s.cnp.stride_y >= 2) && s.cnp.pool_type == kMax &&
              s.spatial_split;
     },
     "Cannot have convolution stride > 1 and max pooling if the layer is mapped on multiple NPs."},
};

const Rule<SplitFacts> kMultiNpPoolingRules[] = {
    {[](const SplitFacts& s) {
       return s.spatial_split && s.cnp.pool_type == kMax &&
              (s.cnp.pooling_width > s.stride_x() || s.cnp.pooling_height > s.stride_y());
     },
     "Cannot have pooling size > pooling stride if the layer is mapped spatially on multiple NPs."},
};

const Rule<hw::NpBlock> kNeuronsPerNpRules[] = {
    {[](const hw::NpBlock& np) { return (np.filters + 7) / 8 % 2 == 1; },
     "With one input channel, the number of neurons per NP / 8 must be even."},
};

MappingStatus check_geometry(const CnpFacts& c) {
  RuleStatus status(c.layer);
  status.merge(check_input_dimensions(c.layer, input_shape(c.layer)));
  status.every(kGeometryRules, c);
  if (c.pool_type == kAverage)
    status.every(kAveragePoolingRules, c);
  else if (c.pool_type == kMax)
    status.every(kMaxPoolingRules, c);
  return status;
}

SplitFacts split_facts(const Layer& layer, const std::vector<hw::Component>& components) {
  return {cnp_facts(layer, nullptr, nullptr, nullptr, 0), any_spatial_split(components)};
}

}  // namespace

MappingStatus check_cnp_geometry(const Layer& layer, const uint32_t* conv_record,
                                 const uint32_t* pool_record, uint32_t hw_version) {
  return check_geometry(cnp_facts(layer, nullptr, conv_record, pool_record, hw_version));
}

MappingStatus check_convolutional(const HardwareDescription& description, const Layer& layer,
                                  uint32_t hw_version) {
  const auto& conv = as_engine_type<Convolutional>(layer);
  const CnpFacts c =
      cnp_facts(conv, &description, conv.conv_record(), conv.pool_record(), hw_version);
  RuleStatus status(conv);
  status.merge(check_geometry(c));
  if (status.failed()) return status;
  status.every(kConvolutionalRules, c);
  if (status.failed()) return status;
  return status.every(kFilterFitRule, c);
}

MappingStatus check_separable_convolutional(const HardwareDescription& description,
                                            const Layer& layer, uint32_t hw_version) {
  const auto& separable = as_engine_type<SeparableConvolutional>(layer);
  const auto depthwise = variable(separable, "weights");
  const auto pointwise = variable(separable, "weights_pw");
  const CnpFacts c = cnp_facts(separable, &description, separable.conv_record(),
                               separable.pool_record(), hw_version);
  RuleStatus status(separable);
  status.merge(check_geometry(c));
  if (status.failed()) return status;
  status.every(kSeparableRules, c);
  if (status.failed()) return status;
  status.every(kFilterFitRule, c);
  status.merge(check_separable_weights_nonzero(separable, *depthwise));
  if (!status.failed()) status.merge(check_separable_weights_nonzero(separable, *pointwise));
  return status;
}

MappingStatus check_separable_weights_nonzero(const Layer& layer, const Dense& weights) {
  check_tensor_type<int8_t>(weights);
  static const Rule<Dense> kNonZeroRules[] = {
      {[](const Dense& w) {
         const auto* bytes = static_cast<const uint8_t*>(w.buffer().data());
         return std::all_of(bytes, bytes + w.buffer().size(), [](uint8_t b) { return b == 0; });
       },
       "All weights in a separable CNP layer cannot be zeroes."},
  };
  return RuleStatus(layer).every(kNonZeroRules, weights);
}

MappingStatus check_multi_np_convolution(const Layer& layer,
                                         const std::vector<hw::Component>& components,
                                         uint32_t hw_version) {
  const SplitFacts s = split_facts(layer, components);
  RuleStatus status(layer);
  status.every(kMultiNpConvolutionRules, s).every(kMultiNpPoolingRules, s);
  if (!is_orbi_v2(hw_version) || status.failed()) return status;
  if (input_shape(layer)[2] != 1 || s.cnp.filters < 17) return status;
  RuleStatus neurons(layer);
  for (const auto& component : components)
    if (component.np_block) neurons.every(kNeuronsPerNpRules, *component.np_block);
  return status.merge(neurons);
}

MappingStatus check_multi_np_pooling(const Layer& layer,
                                     const std::vector<hw::Component>& components) {
  return RuleStatus(layer).every(kMultiNpPoolingRules, split_facts(layer, components));
}

}  // namespace morla::v1
