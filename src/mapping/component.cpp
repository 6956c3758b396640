#include "mapping/component.h"

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
