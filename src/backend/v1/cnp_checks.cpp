#include "backend/v1/cnp_checks.h"

#include <algorithm>
#include <string>

#include "backend/v1/cnp_weight_sizes.h"
#include "backend/v1/input_limits.h"
#include "backend/v1/layer_access.h"
#include "backend/v1/rule_status.h"
#include "core/device_versions.h"
#include "core/enums.h"
#include "core/engine_api/v1_layers.h"

namespace morla::v1 {

namespace {

constexpr uint32_t kMaxFilters = 2048;
constexpr uint32_t kMaxAveragePoolingWidth = 32;
constexpr uint32_t kAveragePoolingInputWords = 10752;

bool is_orbi_v2(uint32_t hw_version) { return hw_version == version_word(devices::Orbi_v2); }

struct CnpParams {
  int filters, kernel_width, kernel_height, stride_x, stride_y, padding, pool_type,
      pooling_width, pooling_height, pooling_stride_x, pooling_stride_y, weights_bits;
};

CnpParams cnp_params(const Layer& layer) {
  const auto p = [&](const char* key) { return param(layer, key); };
  return {p("filters"),          p("kernel_width"),     p("kernel_height"), p("stride_x"),
          p("stride_y"),         p("padding"),          p("pool_type"),     p("pooling_width"),
          p("pooling_height"),   p("pooling_stride_x"), p("pooling_stride_y"),
          p("weights_bits")};
}

void check_average_pooling(RuleStatus& status, const CnpParams& c, const Shape& input,
                           uint32_t input_bits, const uint32_t* conv_record) {
  status.add_if(c.pooling_width != -1, "Average pooling must be global.");
  // The limit is named after the height but applies to dimension 0.
  status.add_if(input[0] > kMaxAveragePoolingWidth, "With average pooling, input height cannot exceed " +
                                                        std::to_string(kMaxAveragePoolingWidth) + ".");
  const uint32_t conv_rows = conv_record[3];
  status.add_if(conv_rows < 3,
                "When using Global Average Pooling, the output of the convolution must have at "
                "least 3 rows (currently " + std::to_string(conv_rows) + ").");
  const uint32_t words = packed_words(packed_bytes(input[0], input_bits), input[2], input[1]);
  status.add_if(words > kAveragePoolingInputWords, "With average pooling, spatial split is impossible.");
}

void check_max_pooling(RuleStatus& status, const CnpParams& c, const Shape& input,
                       const uint32_t* pool_record, uint32_t hw_version) {
  const int size = static_cast<uint8_t>(c.pooling_width);
  const auto stride_x = static_cast<uint8_t>(pool_record[0]);
  const auto stride_y = static_cast<uint8_t>(pool_record[0] >> 8);
  status.add_if(size < 1 || size > 3, "Pooling size must be 1, 2 or 3.");
  status.add_if(is_orbi_v2(hw_version) && size == 3, "Pooling size 3 is not supported on Orbi_v2.");
  status.add_if(c.pooling_height != size, "Pooling width and height must be equal.");
  status.add_if(stride_x != stride_y, "Pooling stride x and y must be equal.");
  status.add_if(size < static_cast<int8_t>(stride_x),
                "Pooling stride must be equal or lower than pooling size.");
  status.add_if(static_cast<uint32_t>(size) > input[0] || static_cast<uint32_t>(size) > input[1],
                "Pooling size cannot be greater than input dimensions.");
}

bool starts_away_from_origin(const hw::Component& component) {
  return component.np_block &&
         (component.np_block->spatial_partition.x != 0 || component.np_block->spatial_partition.y != 0);
}

bool any_spatial_split(const std::vector<hw::Component>& components) {
  return std::any_of(components.begin(), components.end(), starts_away_from_origin);
}

const char* const kFilterTooBig =
    "Filter size is too big to fit in a CNP: try decreasing the input channels or the bitwidth.";

}  // namespace

MappingStatus check_cnp_geometry(const Layer& layer, const uint32_t* conv_record,
                                 const uint32_t* pool_record, uint32_t hw_version) {
  const CnpParams c = cnp_params(layer);
  const Shape input = input_shape(layer);
  RuleStatus status(layer);
  status.merge(check_input_dimensions(layer, input));
  status.add_if(static_cast<uint32_t>(c.filters) > kMaxFilters,
                "The maximum number of filters is " + std::to_string(kMaxFilters) + " (got " +
                    std::to_string(c.filters) + ").");
  status.add_if(c.kernel_width != c.kernel_height, "Kernel width and height must be equal.");
  status.add_if(c.stride_x != c.stride_y, "Horizontal and vertical strides must be equal.");
  // Strides below 1 would divide by zero in the sizer and the recorder.
  status.add_if(c.stride_x >= 3 || c.stride_x < 1, "Convolution stride must be 1 or 2.");
  status.add_if(c.stride_x == 2 && c.kernel_width != 3,
                "Convolution stride 2 is only supported for 3x3 kernels.");
  status.add_if(c.padding != static_cast<int>(Padding::Same), "Only padding same is supported.");
  if (c.pool_type == static_cast<int>(PoolType::Average))
    check_average_pooling(status, c, input, static_cast<uint8_t>(layer.input_bits()), conv_record);
  else if (c.pool_type == static_cast<int>(PoolType::Max))
    check_max_pooling(status, c, input, pool_record, hw_version);
  return status;
}

MappingStatus check_convolutional(const HardwareDescription& description, const Layer& layer,
                                  uint32_t hw_version) {
  const auto& conv = as_engine_type<Convolutional>(layer);
  const uint32_t* conv_record = conv.conv_record();
  const uint32_t* pool_record = conv.pool_record();
  RuleStatus status(conv);
  status.merge(check_cnp_geometry(conv, conv_record, pool_record, hw_version));
  if (status.failed()) return status;
  const int kernel = param(conv, "kernel_width"), bits = param(conv, "weights_bits");
  status.add_if(kernel != 1 && kernel != 3 && kernel != 5 && kernel != 7,
                "Kernel size must be 1, 3, 5 or 7.");
  status.add_if(bits != 1 && bits != 2 && bits != 4, "Standard CNP weights bitwidth must be 1, 2 or 4.");
  if (status.failed()) return status;
  return status.add_if(!fits_cnp_weights(description, conv, 1), kFilterTooBig);
}

MappingStatus check_separable_convolutional(const HardwareDescription& description,
                                            const Layer& layer, uint32_t hw_version) {
  const Shape input = layer.input_dims();
  const auto& separable = as_engine_type<SeparableConvolutional>(layer);
  const auto depthwise = variable(separable, "weights");
  const auto pointwise = variable(separable, "weights_pw");
  const uint32_t* conv_record = separable.conv_record();
  const uint32_t* pool_record = separable.pool_record();
  RuleStatus status(separable);
  status.merge(check_cnp_geometry(separable, conv_record, pool_record, hw_version));
  if (status.failed()) return status;
  const int kernel = param(separable, "kernel_width"), bits = param(separable, "weights_bits");
  status.add_if(kernel != 3 && kernel != 5 && kernel != 7, "Kernel size must be 3, 5 or 7.");
  status.add_if(bits != 2 && bits != 4, "Separable CNP weights bitwidth must be 2 or 4.");
  status.add_if(param(separable, "pool_type") == static_cast<int>(PoolType::Average) &&
                    input[0] == 1 && input[1] == 1,
                "Separable CNP with Global Average Pooling does not support 1x1 inputs.");
  if (status.failed()) return status;
  status.add_if(!fits_cnp_weights(description, separable, 1), kFilterTooBig);
  status.merge(check_separable_weights_nonzero(separable, *depthwise));
  if (status.status().ok()) status.merge(check_separable_weights_nonzero(separable, *pointwise));
  return status;
}

MappingStatus check_separable_weights_nonzero(const Layer& layer, const Dense& weights) {
  check_tensor_type<int8_t>(weights);
  const auto* bytes = static_cast<const uint8_t*>(weights.buffer().data());
  const bool all_zero = std::all_of(bytes, bytes + weights.buffer().size(), [](uint8_t b) { return b == 0; });
  return RuleStatus(layer).add_if(all_zero, "All weights in a separable CNP layer cannot be zeroes.");
}

MappingStatus check_multi_np_convolution(const Layer& layer,
                                         const std::vector<hw::Component>& components,
                                         uint32_t hw_version) {
  const CnpParams c = cnp_params(layer);
  RuleStatus status(layer);
  status.add_if((c.stride_x >= 2 || c.stride_y >= 2) && c.pool_type == static_cast<int>(PoolType::Max) &&
                    any_spatial_split(components),
                "Cannot have convolution stride > 1 and max pooling if the layer is mapped on multiple NPs.");
  status.merge(check_multi_np_pooling(layer, components));
  if (!is_orbi_v2(hw_version) || status.failed()) return status;
  if (input_shape(layer)[2] != 1 || c.filters < 17) return status;
  RuleStatus neurons(layer);
  for (const auto& component : components) {
    if (!component.np_block) continue;
    neurons.add_if((component.np_block->filters + 7) / 8 % 2 == 1,
                   "With one input channel, the number of neurons per NP / 8 must be even.");
  }
  return status.merge(neurons);
}

MappingStatus check_multi_np_pooling(const Layer& layer,
                                     const std::vector<hw::Component>& components) {
  RuleStatus status(layer);
  if (!any_spatial_split(components)) return status;
  const CnpParams c = cnp_params(layer);
  // A negative pooling stride stands for the pooling size, as when the layer is built: taken
  // literally, every spatially split max-pooling layer with default strides would fail.
  const int stride_x = c.pooling_stride_x < 0 ? c.pooling_width : c.pooling_stride_x;
  const int stride_y = c.pooling_stride_y < 0 ? c.pooling_height : c.pooling_stride_y;
  return status.add_if(c.pool_type == static_cast<int>(PoolType::Max) &&
                           (c.pooling_width > stride_x || c.pooling_height > stride_y),
                       "Cannot have pooling size > pooling stride if the layer is mapped spatially on multiple NPs.");
}

}  // namespace morla::v1
