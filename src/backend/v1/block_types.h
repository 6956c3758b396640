#pragma once
// The NP block types the v1 recorders append.
#include <cstdint>

namespace morla::v1::block {

inline constexpr uint32_t kRegisters = 7;      // an NP's 50-word register block
inline constexpr uint32_t kCnpWeights = 0;     // CNP weights (depthwise, then pointwise)
inline constexpr uint32_t kCnpThresholds = 4;  // CNP threshold and activation-step words
inline constexpr uint32_t kFnpImage = 6;       // an FNP3's weight image
inline constexpr uint32_t kDirect = 8;         // HRC configuration, memory select, DMA words
inline constexpr uint32_t kHrcMemory = 9;      // HRC memory data

}  // namespace morla::v1::block
