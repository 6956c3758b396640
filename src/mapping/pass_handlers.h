#pragma once
// The per-layer records of partial reconfiguration: depth distances between producers and
// consumers of skip DMAs, running DMA and store indexes, Add shifts, Concatenate offsets.
// Each handler attaches (or replaces) one record of the layer's LayerMapping and throws
// std::runtime_error with the layer's mapping-status text when the graph cannot be run.
#include "contract/graph_utils.h"

namespace morla {

// Index rules (`pass_layers` the pass being built, `run_layers` the whole run).
uint32_t dma_index(const LayerPtr& layer, const LayerList& pass_layers,
                   const LayerList& run_layers);
uint32_t store_index(const LayerPtr& layer, const LayerList& run_layers);

void record_concat_offset(const LayerPtr& layer, DepthMemo& memo);
void record_merge_info(const LayerPtr& layer, const LayerList& pass_layers,
                       const LayerList& run_layers, DepthMemo& memo);
void record_output_store_info(const LayerPtr& layer, const LayerList& pass_layers,
                              const LayerList& run_layers, DepthMemo& memo);
void record_dual_store_info(const LayerPtr& layer, const LayerList& run_layers, DepthMemo& memo);
void record_load_info(const LayerPtr& layer, const LayerList& pass_layers,
                      const LayerList& run_layers, DepthMemo& memo);
void record_branch_info(const LayerPtr& fork, const LayerList& pass_layers);

}  // namespace morla
