#pragma once
// The input-size limits that every v1 layer on an NP shares.
#include "core/shape.h"
#include "contract/mapping_status.h"

namespace morla::v1 {

inline constexpr uint32_t kMaxInputWidth = 4096;
inline constexpr uint32_t kMaxInputHeight = 4096;
inline constexpr uint32_t kMaxInputChannels = 2048;

// Width (dimension 0), height (1) and channels (2) within the limits; each broken limit adds
// its message.
MappingStatus check_input_dimensions(const Layer& layer, const Shape& input);

}  // namespace morla::v1
