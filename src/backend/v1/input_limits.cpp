#include "backend/v1/input_limits.h"

#include <string>

#include "contract/layer_rules.h"

namespace morla::v1 {

namespace {

std::string limit_message(const char* what, uint32_t limit, uint32_t got) {
  return std::string("The maximum input ") + what + " is " + std::to_string(limit) + " (got " +
         std::to_string(got) + ").";
}

const Rule<Shape> kInputRules[] = {
    {[](const Shape& in) { return in[0] > kMaxInputWidth; },
     [](const Shape& in) { return limit_message("width", kMaxInputWidth, in[0]); }},
    {[](const Shape& in) { return in[1] > kMaxInputHeight; },
     [](const Shape& in) { return limit_message("height", kMaxInputHeight, in[1]); }},
    {[](const Shape& in) { return in[2] > kMaxInputChannels; },
     [](const Shape& in) { return limit_message("channel value", kMaxInputChannels, in[2]); }},
};

}  // namespace

MappingStatus check_input_dimensions(const Layer& layer, const Shape& input) {
  return RuleStatus(layer).every(kInputRules, input).status();
}

}  // namespace morla::v1
