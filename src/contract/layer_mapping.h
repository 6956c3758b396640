#pragma once
// The mapping of one layer: the components it runs on, its place in its hardware pass,
// the links to the components that feed it and that it feeds, and the small records the
// back ends' recorders read for skip DMAs and merge layers.
//
// How the recorders read these fields:
//  - the pass byte is `order`, the link byte `next_order` (255 when made), the second pass
//    byte `previous_pass_order`, the point-to-point output flag `has_output_dma`;
//  - the layer "learns" (its last skip-DMA store is the learning NP entry) exactly when
//    `merge_info` is present with `dual_source` set; `Layer::compiled` plays no part;
//  - the merge descriptor is `MergeInfo`: kind = `is_add`, value = `index`, the three shift
//    tensors, learning flag = `dual_source`, merge link = `other_order`, merge flag =
//    `not_first`;
//  - the skip-DMA store record that the routing words program (a flag bit, an 8-bit field
//    and a byte of the store fields) is `store_info`: it is present exactly when the layer
//    writes its own output through a skip-DMA store, and its `flag`, `distance` and `index`
//    are the flag, the depth distance and the store index of that store (the same numbers
//    the program info lists for the store). `branch_info` describes a fork, not a store,
//    and is not read there;
//  - the output-link flag of the merge registers is `store_info->flag` (0 without a
//    `store_info`);
//  - the (byte, 32-bit value) pair of the skip-DMA load registers is
//    (`load_info->index`, `load_info->concat_offset`): the load's DMA index and the channel
//    offset at which the loaded tensor lands in a Concatenate;
//  - the filter offset is `concat_offset` (0 when absent);
//  - there is no point-to-point input flag: no mapping step ever sets one, so it reads 0.
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "engine_api/layer.h"
#include "engine_api/tensor.h"
#include "contract/component.h"

namespace morla {

using ComponentList = std::vector<hw::Component>;
using SharedComponents = std::shared_ptr<ComponentList>;

// What a merge layer (the CNP behind an Add or a Concatenate fed through a skip DMA) needs.
struct MergeInfo {
  bool is_add = false;  // the merge layer's first inbound is an Add
  uint32_t index = 0;   // the merge layer's DMA index + 1, as a byte value
  // The Add's variables; `a_shift` belongs to the deeper Add input. Empty when not an Add.
  std::shared_ptr<Dense> a_shift;
  std::shared_ptr<Dense> b_shift;
  std::shared_ptr<Dense> output_shift;
  bool dual_source = false;  // the layer is a dual-source merge layer
  uint8_t other_order = 0;
  bool not_first = true;  // the layer is not its pass's first mappable layer
};

// A skip-DMA store of a layer's output (or of its input, for the dual store).
struct SkipStoreInfo {
  uint8_t distance = 0;
  uint8_t flag = 0;
  uint8_t index = 0;
};

struct SkipLoadInfo {
  uint8_t index = 0;
  uint8_t distance = 0;
  uint8_t store_index = 0;
  uint32_t concat_offset = 0;
};

// The two branches that leave a fork: their NP count and which is the second one.
struct BranchInfo {
  bool is_second = false;
  uint32_t np_count = 0;
  uint8_t main_order = 0;
};

struct LayerMapping : Layer::Mapping {
  // Position inside the pass: 0 for an HRC layer, 255 for a skip-DMA layer.
  uint8_t order = 0;
  uint8_t next_order = 255;
  // On the first layer of a pass: the previous pass's `next_order`.
  uint8_t previous_pass_order = 0;
  // The layer ends its pass and writes through the pass's output DMA.
  bool has_output_dma = false;
  std::optional<MergeInfo> merge_info;
  std::optional<SkipStoreInfo> store_info;
  std::optional<SkipStoreInfo> dual_store_info;
  std::optional<SkipLoadInfo> load_info;
  std::optional<BranchInfo> branch_info;
  std::optional<uint32_t> concat_offset;
  // The layer has skip DMAs and targets a TNP-B.
  bool tnp_b_skip = false;
  // Component lists that feed this layer / that this layer feeds.
  std::vector<SharedComponents> inbound;
  std::vector<SharedComponents> outbound;
  // SKIP_DMA_STORE components in mapping order (one or two), SKIP_DMA_LOAD components.
  ComponentList skip_dma_stores;
  ComponentList skip_dma_loads;
};

inline constexpr uint32_t kNoComponentIndex = 0xFFFFFFFF;

// The first skip-DMA load, or null.
const hw::Component* skip_dma_load(const LayerMapping& mapping);
// The store of the layer's own output: the first of two stores; the only store unless the
// layer is a dual-source merge layer; else null.
const hw::Component* output_skip_dma_store(const LayerMapping& mapping);
uint32_t output_skip_dma_store_index(const LayerMapping& mapping);
// The last store of a dual-source merge layer, else null.
const hw::Component* dual_skip_dma_store(const LayerMapping& mapping);
uint32_t dual_skip_dma_store_index(const LayerMapping& mapping);

// The layer's mapping as a LayerMapping, or null when it has none (or another kind).
LayerMapping* layer_mapping(const Layer& layer);
// As above, but throws std::runtime_error naming the layer when it has no LayerMapping.
LayerMapping& require_layer_mapping(const Layer& layer);

// A new shared list holding a copy of `components`.
SharedComponents share_components(const ComponentList& components);

}  // namespace morla
