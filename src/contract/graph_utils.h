#pragma once
// Questions about a model's layer graph asked by the mapping and pass building: depths,
// branches, mappable layers and skip-DMA needs. No state is kept between calls; a null
// layer means "no layer".
#include <cstdint>
#include <memory>
#include <span>
#include <unordered_map>
#include <utility>
#include <vector>

#include "engine_api/layer.h"

namespace morla {

using LayerPtr = std::shared_ptr<Layer>;
using LayerList = std::vector<LayerPtr>;
// Depth of each layer already measured, keyed by the layer's address.
using DepthMemo = std::unordered_map<const Layer*, uint32_t>;

// 1 for a layer without producers; else the deepest producer's depth, plus 1 unless the
// layer is a skip-DMA layer.
uint32_t layer_depth(const LayerPtr& layer, DepthMemo& memo);
// Stable sort by ascending depth.
void sort_by_depth(LayerList& layers);
// The main and the skip branch that leave the layer; "main" is the longer one before the
// branches meet.
std::pair<LayerList, LayerList> extract_branches(const LayerPtr& layer);
// The shallowest layer of `a` that also occurs in `b`, or null.
LayerPtr find_merge_layer(std::span<const LayerPtr> a, const LayerList& b);
uint32_t branch_length_to(std::span<const LayerPtr> branch, const LayerPtr& target);
LayerPtr get_mappable_layer(const LayerPtr& layer);
LayerPtr first_mappable_layer(const LayerList& layers);
LayerPtr last_mappable_layer(const LayerList& layers);
LayerPtr next_mappable_layer(const LayerPtr& layer);
LayerPtr previous_mappable_layer(const LayerPtr& layer);
// A CNP layer that receives a shortcut through a skip DMA.
bool is_merge_layer(const LayerPtr& layer);
bool is_dual_source_merge_layer(const LayerPtr& layer);
bool dual_output_to_store_dma(const LayerPtr& layer);
bool is_skip_source(const LayerPtr& layer);
bool outbounds_have_equal_depth(const LayerPtr& layer, DepthMemo& memo);
bool needs_skip_dma_store(const LayerPtr& layer);
bool needs_skip_dma_load(const LayerPtr& layer);
int64_t count_open_branches(const LayerList& layers);
bool has_multiple_outbounds(const LayerPtr& layer);
LayerList collect_branch_block(const LayerList& layers);

}  // namespace morla
