#pragma once
// An IP generation's rules: which layers, sequences and NP placements it accepts, and what
// fits an NP's buffers and weight memory.
#include <cstdint>
#include <memory>
#include <vector>

#include "core/hw_type.h"
#include "contract/component.h"
#include "contract/mapping_status.h"

namespace morla {

class Layer;
class LayerParams;
struct HardwareDescription;

// What the split strategies need of a layer: its kernel half-widths (the halo of a piece),
// its pooling and its filter count.
struct LayerGeometry {
  uint32_t left_halo = 0;
  uint32_t right_halo = 0;
  uint32_t top_halo = 0;
  uint32_t bottom_halo = 0;
  uint32_t pool_type = 0;  // 1: max pooling
  uint32_t pool_width = 0;
  uint32_t pool_height = 0;
  uint32_t filters = 0;
};

class CompatibilityChecker {
 public:
  virtual ~CompatibilityChecker() = default;
  // `inbound` is the layer's first inbound layer, or null; `hw_version` the device's
  // HwVersion bytes read as one little-endian word.
  virtual MappingStatus check_layer(const std::shared_ptr<Layer>& layer,
                                    const std::shared_ptr<Layer>& inbound,
                                    uint32_t hw_version) const = 0;
  // `layers`: the sequence from its first layer up to and including the checked one.
  virtual MappingStatus check_sequence(const std::vector<std::shared_ptr<Layer>>& layers,
                                       uint32_t hw_version) const = 0;
  virtual MappingStatus check_np_mapping(const std::shared_ptr<Layer>& layer,
                                         const std::vector<hw::Component>& components,
                                         bool new_pass) const = 0;
  // Whether a packed input tile fits the single (dual) input buffer. `reserved_words` is
  // 512 when the layer's first inbound is an Add, else 0. A tile refused here must stay
  // refused when its height, width or channels grow: the split search relies on it to give
  // up on a layer at once when even its smallest tile does not fit.
  virtual bool fits_single_buffer(hw::Type type, uint32_t height, uint32_t width, uint32_t channels,
                                  uint32_t fifo_size, uint32_t input_bits,
                                  uint32_t reserved_words) const = 0;
  virtual bool fits_dual_buffer(hw::Type type, uint32_t height, uint32_t width, uint32_t channels,
                                uint32_t fifo_size, uint32_t input_bits,
                                uint32_t reserved_words) const = 0;
  virtual bool fits_weights(const std::shared_ptr<Layer>& layer, uint32_t filters) const = 0;
  virtual LayerGeometry layer_geometry(hw::Type type, const LayerParams& params) const = 0;
  virtual bool fits_fnp3(const HardwareDescription& description,
                         const std::shared_ptr<Layer>& layer) const = 0;
};

}  // namespace morla
