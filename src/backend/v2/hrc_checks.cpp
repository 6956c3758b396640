#include "backend/v2/hrc_checks.h"

#include <algorithm>
#include <string>

#include "backend/v2/rule_check.h"
#include "backend/v2/variable_access.h"
#include "core/engine_api/layer_params.h"

namespace morla::v2 {

namespace {

constexpr uint32_t kMinInputSide = 5;
constexpr uint32_t kMaxInputHeight = 384;
constexpr int kMaxFilters = 512;

std::string str(int64_t v) { return std::to_string(v); }

bool one_of(int v, std::initializer_list<int> allowed) {
  return std::find(allowed.begin(), allowed.end(), v) != allowed.end();
}

void check_activation(RuleCheck& r, const Layer& layer) {
  if (!layer.has_activation()) {
    r.fail_if(true,
              "The first convolutional layer of a model can only be mapped if its activations "
              "are enabled.");
    return;
  }
  const int output_bits = param(layer, "output_bits");
  r.fail_if(!one_of(output_bits, {4, 8}),
            "Output should be 4-bit or 8-bit. " + str(output_bits) + " given.");
  if (param(layer, "activation") == static_cast<int>(ActivationType::LUT)) {
    r.fail_if(output_bits == 4, "4-bit activation is not supported with LUT.");
    r.fail_if(param(layer, "pool_type") != static_cast<int>(PoolType::NoPooling),
              "Max pooling is not supported with activation LUT.");
  }
}

void check_weights(RuleCheck& r, const Layer& layer) {
  const auto weights = optional_variable(layer, "weights");
  if (r.fail_if(!weights || weights->size() == 0, "No variable named 'weights'.")) return;
  const int8_t* w = weights->data<int8_t>();
  r.fail_if(std::all_of(w, w + weights->size(), [](int8_t v) { return v == 0; }),
            "All weights cannot be zeroes.");
}

}  // namespace

MappingStatus check_input_conv2d(const Layer& layer) {
  RuleCheck r(layer);
  const int k = param(layer, "kernel_size");
  const int stride = param(layer, "kernel_stride");
  const int pool_type = param(layer, "pool_type");
  const int pool_size = param(layer, "pool_size");
  const int pool_stride = param(layer, "pool_stride");
  r.fail_if(!one_of(k, {3, 4, 5, 7}),
            "Unsupported kernel size.\n The kernel size should be 3, 4, 5 or 7. " + str(k) + " given.");
  const int max_stride = std::min(k, 6);
  r.fail_if(stride > max_stride, "For a kernel size " + str(k) +
                                     ", the kernel stride must be smaller than " + str(max_stride) + ".");
  if (pool_type == static_cast<int>(PoolType::Max)) {
    const bool supported = pool_stride == 2 && (pool_size == 2 || pool_size == 3);
    r.fail_if(!supported,
              "Unsupported max-pooling size, max-pooling stride combinaison. The only supported "
              "combinaison of (Pool_size, Pool_stride) are :(2, 2) or (3, 2). Received (" +
                  str(pool_size) + ", " + str(pool_stride) + ").");
  }
  const Shape in = layer.input_dims();
  r.fail_if(in[0] < kMinInputSide, "Unsupported input size. Received: " + str(in[0]) +
                                       " as first dimension.\n The first dimension should be >= " +
                                       str(kMinInputSide) + ".");
  r.fail_if(in[1] < kMinInputSide || in[1] > kMaxInputHeight,
            "Unsupported input size. Received: " + str(in[1]) +
                " as second dimension.\n The second dimension should be between " +
                str(kMinInputSide) + " and " + str(kMaxInputHeight) + ".");
  check_activation(r, layer);
  const int filters = param(layer, "filters");
  r.fail_if(filters < 1 || filters > kMaxFilters, "The filters number should be set between 1 and " +
                                                      str(kMaxFilters) + ". " + str(filters) + " given.");
  check_weights(r, layer);
  r.fail_if(param(layer, "weights_bits") != 8, "Only 8-bit weigths are supported.");
  if (param(layer, "padding") == static_cast<int>(Padding::SameUpper)) {
    r.fail_if(!one_of(k, {3, 5, 7}), "With SameUpper padding only kernels 3, 5, 7 are supported.");
    r.fail_if(param(layer, "kernel_stride") != 2, "With SameUpper padding only stride 2 is supported.");
    r.fail_if(layer.has_activation() && (layer.output_bits() & 0xFF) != 8,
              "With SameUpper padding only 8-bit activations are supported.");
  }
  return r.status();
}

}  // namespace morla::v2
