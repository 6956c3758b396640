#include "contract/component.h"

namespace morla {

bool NpSpace::operator==(const NpSpace& other) const {
  return x == other.x && y == other.y && shape == other.shape;
}

namespace hw {

bool Component::operator==(const Component& other) const {
  if (type != other.type || ident != other.ident) return false;
  if (np_block.has_value() != other.np_block.has_value()) return false;
  if (np_block) {
    const NpBlock& a = *np_block;
    const NpBlock& b = *other.np_block;
    if (a.start_neuron != b.start_neuron || a.filters != b.filters ||
        a.spatial_partition != b.spatial_partition || a.input_window != b.input_window)
      return false;
  }
  return mem_info == other.mem_info;
}

}  // namespace hw
}  // namespace morla

namespace morla::hw {

const char* type_name(Type type) {
  static constexpr const char* kNames[] = {
      "None",           "HRC",   "CNP1",  "CNP2",          "FNP2", "FNP3",
      "SKIP_DMA_STORE", "TNP_B", "TNP_R", "SKIP_DMA_LOAD", "DMA"};
  const auto value = static_cast<int32_t>(type);
  return value >= 0 && value <= 10 ? kNames[value] : "Unknown";
}

}  // namespace morla::hw
