#pragma once
#include <cstdint>

namespace morla {
namespace hw {

// Kinds of NP and DMA component of a mesh (0 means none).
enum class Type : int32_t {
  HRC = 1,
  CNP1 = 2,
  CNP2 = 3,
  FNP2 = 4,
  FNP3 = 5,
  SKIP_DMA_STORE = 6,
  TNP_B = 7,
  TNP_R = 8,
  SKIP_DMA_LOAD = 9,
  DMA = 10,
};

}  // namespace hw

// The kind of hardware component a layer may be meant for.
enum class ComponentKind : int32_t {
  None = 0,
  HRC = 1,
  CNP = 2,
  FNP = 3,
  SKIP_DMA = 4,
  TNP_B = 5,
  TNP_R = 6,
  DMA = 7,
};

ComponentKind component_kind(hw::Type type);

}  // namespace morla
