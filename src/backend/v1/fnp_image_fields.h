#pragma once
// The header fields that start each neuron's record in an IP v1 FNP weight image, by word
// from the record's first word (offset_field moves them to a neuron's record).
#include "core/register_field.h"

namespace morla::v1::fnp_image {

inline constexpr BlockField kThreshold{0, 0, 20};
inline constexpr BlockField kActStep{1, 0, 20};
// Learning records only.
inline constexpr BlockField kClass{1, 20, 10};
inline constexpr BlockField kWeightCount{2, 0, 20};
inline constexpr BlockField kLearningThresholdHigh{2, 16, 4};
inline constexpr BlockField kThswap{3, 0, 16};
inline constexpr BlockField kLearningThresholdLow{3, 16, 16};

}  // namespace morla::v1::fnp_image
