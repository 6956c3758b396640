#pragma once
// The 50-word register block of an IP v1 NP, written field by field (np_fields.h).
#include <cstddef>
#include <cstdint>
#include <vector>

namespace morla::v1 {

using RegisterBlock = std::vector<uint32_t>;

inline constexpr size_t kNpRegisterWords = 50;

// A new block: all zero but its five default fields.
RegisterBlock init_np_registers();

}  // namespace morla::v1
