#include "backend/v2/hrc_checks.h"

#include <algorithm>
#include <string>

#include "backend/v2/layer_facts.h"
#include "backend/v2/variable_access.h"
#include "engine_api/layer_params.h"
#include "contract/layer_rules.h"

namespace morla::v2 {

namespace {

using F = LayerFacts;

constexpr uint32_t kMinInputSide = 5;
constexpr uint32_t kMaxInputHeight = 384;
constexpr int kMaxFilters = 512;

std::string str(int64_t v) { return std::to_string(v); }

bool one_of(int v, std::initializer_list<int> allowed) {
  return std::find(allowed.begin(), allowed.end(), v) != allowed.end();
}

int max_stride(const F& f) { return std::min(f.param("kernel_size"), 6); }
bool max_pooling(const F& f) { return f.param("pool_type") == static_cast<int>(PoolType::Max); }
bool lut_activation(const F& f) {
  return f.activation() && f.param("activation") == static_cast<int>(ActivationType::LUT);
}
bool same_upper(const F& f) { return f.param("padding") == static_cast<int>(Padding::SameUpper); }

const Rule<F> kHrcRules[] = {
    {[](const F& f) {
       return !one_of(f.param("kernel_size"), {3, 4, 5, 7});
     },
     [](const F& f) {
       return "Unsupported kernel size.\n The kernel size should be 3, 4, 5 or 7. " +
              str(f.param("kernel_size")) + " given.";
     }},
    {[](const F& f) { return f.param("kernel_stride") > max_stride(f); },
     [](const F& f) {
       return "For a kernel size " + str(f.param("kernel_size")) +
              ", the kernel stride must be smaller than " + str(max_stride(f)) + ".";
     }},
    {[](const F& f) {
       const int size = f.param("pool_size"), stride = f.param("pool_stride");
       return max_pooling(f) && !(stride == 2 && (size == 2 || size == 3));
     },
     [](const F& f) {
       return "Unsupported max-pooling size, max-pooling stride combinaison. The only supported "
              "combinaison of (Pool_size, Pool_stride) are :(2, 2) or (3, 2). Received (" +
              str(f.param("pool_size")) + ", " + str(f.param("pool_stride")) + ").";
     }},
    {[](const F& f) { return f.input()[0] < kMinInputSide; },
     [](const F& f) {
       return "Unsupported input size. Received: " + str(f.input()[0]) +
              " as first dimension.\n The first dimension should be >= " + str(kMinInputSide) + ".";
     }},
    {[](const F& f) { return f.input()[1] < kMinInputSide || f.input()[1] > kMaxInputHeight; },
     [](const F& f) {
       return "Unsupported input size. Received: " + str(f.input()[1]) +
              " as second dimension.\n The second dimension should be between " +
              str(kMinInputSide) + " and " + str(kMaxInputHeight) + ".";
     }},
    {[](const F& f) { return !f.activation(); },
     "The first convolutional layer of a model can only be mapped if its activations are "
     "enabled."},
    {[](const F& f) {
       return f.activation() && !one_of(f.param("output_bits"), {4, 8});
     },
     [](const F& f) {
       return "Output should be 4-bit or 8-bit. " + str(f.param("output_bits")) + " given.";
     }},
    {[](const F& f) { return lut_activation(f) && f.param("output_bits") == 4; },
     "4-bit activation is not supported with LUT."},
    {[](const F& f) {
       return lut_activation(f) && f.param("pool_type") != static_cast<int>(PoolType::NoPooling);
     },
     "Max pooling is not supported with activation LUT."},
    {[](const F& f) { return f.param("filters") < 1 || f.param("filters") > kMaxFilters; },
     [](const F& f) {
       return "The filters number should be set between 1 and " + str(kMaxFilters) + ". " +
              str(f.param("filters")) + " given.";
     }},
    {[](const F& f) {
       const auto weights = optional_variable(f.layer, "weights");
       return !weights || weights->size() == 0;
     },
     "No variable named 'weights'."},
    {[](const F& f) {
       const auto weights = optional_variable(f.layer, "weights");
       if (!weights || weights->size() == 0) return false;
       const int8_t* w = weights->data<int8_t>();
       return std::all_of(w, w + weights->size(), [](int8_t v) { return v == 0; });
     },
     "All weights cannot be zeroes."},
    {[](const F& f) { return f.param("weights_bits") != 8; }, "Only 8-bit weigths are supported."},
    {[](const F& f) {
       return same_upper(f) && !one_of(f.param("kernel_size"), {3, 5, 7});
     },
     "With SameUpper padding only kernels 3, 5, 7 are supported."},
    {[](const F& f) { return same_upper(f) && f.param("kernel_stride") != 2; },
     "With SameUpper padding only stride 2 is supported."},
    {[](const F& f) { return same_upper(f) && f.activation() && f.output_bits() != 8; },
     "With SameUpper padding only 8-bit activations are supported."},
};

}  // namespace

MappingStatus check_input_conv2d(const Layer& layer) {
  return RuleStatus(layer).every(kHrcRules, F{layer});
}

}  // namespace morla::v2
