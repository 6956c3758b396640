#pragma once
// Cutting a convolution-like layer into a grid of NP pieces (width x height x neurons):
// each axis first to its hard limit, the neurons until the weights fit, then the smallest
// NP count whose input tile fits an NP's input buffer.
#include <cstdint>
#include <memory>
#include <set>
#include <tuple>
#include <utility>
#include <vector>

#include "core/hw_type.h"
#include "contract/compatibility_checker.h"
#include "contract/component.h"
#include "contract/graph_utils.h"
#include "contract/mapping_status.h"

namespace morla {

// One axis cut: `count` pieces of `piece` (the last may be shorter) of `total`. A count or
// piece of 0 means the axis cannot be cut.
struct AxisSplit {
  uint32_t count = 0;
  uint32_t piece = 0;
  uint32_t total = 0;
  uint32_t limit = 0;
  uint32_t align = 1;

  bool operator==(const AxisSplit& other) const = default;
};

enum class BufferMode : uint8_t { None = 0, Dual = 1, Single = 2 };

struct SplitPlan {
  bool found = false;
  AxisSplit width;
  AxisSplit height;
  AxisSplit neurons;
  BufferMode buffer = BufferMode::None;

  bool operator==(const SplitPlan& other) const = default;
};

// What the factor search needs beyond the three axes.
struct SplitSearch {
  uint32_t channels = 0;  // input channels
  uint32_t input_bits = 0;
  LayerGeometry geometry;
  uint32_t fifo_size = 0;
  hw::Type type = hw::Type::CNP1;
  bool loop_itself = false;  // only dual-buffer placements
  uint32_t reserved_words = 0;
  bool per_channel = false;  // the tile's channels follow the neuron pieces
  bool allow_height = true;
  bool tnp_b = false;
};

struct SplitResult {
  MappingStatus status;
  std::vector<hw::Component> components;
};

AxisSplit split_axis(uint32_t total, uint32_t limit, uint32_t align);
// Cuts the neuron axis finer until `fits_weights` accepts a piece; all zero when none does.
AxisSplit fit_weights_split(const LayerPtr& layer, const CompatibilityChecker& checker,
                            AxisSplit neurons);
// Every ordered (x, y, z) with x*y*z = n, in descending lexicographic order.
std::vector<std::tuple<uint32_t, uint32_t, uint32_t>> factor_triples(uint32_t n);
SplitPlan search_np_split(const SplitSearch& search, const CompatibilityChecker& checker,
                          const AxisSplit& width, const AxisSplit& height,
                          const AxisSplit& neurons);
std::vector<hw::Component> build_split_components(const LayerPtr& layer,
                                                  const LayerGeometry& geometry,
                                                  const SplitPlan& plan, hw::Type type);

SplitResult split_conv_layer(const LayerPtr& layer, const CompatibilityChecker& checker,
                             uint32_t max_height, uint32_t max_width, uint32_t max_filters,
                             hw::Type type, bool loop_itself);
SplitResult split_depthwise_layer(const LayerPtr& layer, const CompatibilityChecker& checker,
                                  uint32_t max_height, uint32_t max_width, uint32_t max_filters,
                                  hw::Type type, bool loop_itself);
SplitResult split_transposed_conv_layer(const LayerPtr& layer, const CompatibilityChecker& checker,
                                        uint32_t max_height, uint32_t max_width,
                                        uint32_t max_filters, bool loop_itself);
SplitResult split_depthwise_transposed_conv_layer(const LayerPtr& layer,
                                                  const CompatibilityChecker& checker,
                                                  uint32_t max_height, uint32_t max_width,
                                                  uint32_t max_filters, bool loop_itself);

// The skip-DMA components a layer needs besides its NPs (`types` as component_types gives).
void append_skip_dma_components(std::vector<hw::Component>& components,
                                const std::vector<hw::Type>& types, const LayerPtr& layer);

}  // namespace morla
