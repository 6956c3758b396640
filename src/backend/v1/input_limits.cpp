#include "backend/v1/input_limits.h"

#include <string>

#include "backend/v1/rule_status.h"

namespace morla::v1 {

MappingStatus check_input_dimensions(const Layer& layer, const Shape& input) {
  const uint32_t width = input[0], height = input[1], channels = input[2];
  RuleStatus status(layer);
  status.add_if(width > kMaxInputWidth, "The maximum input width is " +
                                            std::to_string(kMaxInputWidth) + " (got " +
                                            std::to_string(width) + ").");
  status.add_if(height > kMaxInputHeight, "The maximum input height is " +
                                              std::to_string(kMaxInputHeight) + " (got " +
                                              std::to_string(height) + ").");
  status.add_if(channels > kMaxInputChannels, "The maximum input channel value is " +
                                                  std::to_string(kMaxInputChannels) + " (got " +
                                                  std::to_string(channels) + ").");
  return status;
}

}  // namespace morla::v1
