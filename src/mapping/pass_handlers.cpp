#include "mapping/pass_handlers.h"

#include <algorithm>
#include <stdexcept>
#include <string>

#include "engine_api/layer_params.h"
#include "engine_api/variables.h"
#include "contract/layer_mapping.h"
#include "contract/mapping_status.h"

namespace morla {
namespace {

constexpr const char* kSecondBranch =
    "Hardware partial reconfiguration with layers on the second branch is not supported.";

[[noreturn]] void fail(const LayerPtr& layer, const std::string& text) {
  throw std::runtime_error(make_mapping_status(layer, text).message());
}

bool contains(const LayerList& layers, const LayerPtr& layer) {
  return std::find(layers.begin(), layers.end(), layer) != layers.end();
}

bool has_type(const LayerPtr& layer, LayerType type) {
  return layer && layer->params() && layer->params()->layer_type() == type;
}

bool is_skip_dma(const LayerPtr& layer) {
  return layer && layer->is_target_component(ComponentKind::SKIP_DMA);
}

uint8_t depth_difference(const LayerPtr& deeper, const LayerPtr& shallower, DepthMemo& memo) {
  return static_cast<uint8_t>(layer_depth(deeper, memo) - layer_depth(shallower, memo));
}

// The largest depth distance from `from` to one of its outbound layers (0 without any).
uint8_t outbound_distance(const LayerPtr& from, DepthMemo& memo) {
  uint8_t distance = 0;
  for (const auto& out : from->outbound_layers())
    distance = std::max(distance, depth_difference(out, from, memo));
  return distance;
}

uint8_t fifo_distance(const LayerPtr& layer) {
  return static_cast<uint8_t>(layer->params()->get("fifo_size") + 1);
}

// The two inputs of a merging layer (Add, Concatenate).
std::pair<LayerPtr, LayerPtr> merge_inputs(const LayerPtr& merging, const LayerPtr& owner) {
  const LayerList inputs = merging->inbound_layers();
  if (inputs.size() < 2) fail(owner, "The layer '" + merging->name() + "' needs two inputs.");
  return {inputs[0], inputs[1]};
}

}  // namespace

namespace {

// `start`, plus `step` for every layer of `layers` after the first, up to and including
// `layer`, that `counts` (nothing when `layer` is the first).
template <typename Counts>
uint32_t running_index(uint32_t start, const LayerList& layers, const LayerPtr& layer,
                       uint32_t step, Counts counts) {
  uint32_t index = start;
  if (layers.empty() || layers.front() == layer) return index;
  for (size_t i = 1; i < layers.size(); ++i) {
    if (counts(layers[i])) index += step;
    if (layers[i] == layer) break;
  }
  return index;
}

}  // namespace

uint32_t dma_index(const LayerPtr& layer, const LayerList& pass_layers,
                   const LayerList& run_layers) {
  return running_index(
      static_cast<uint32_t>(run_layers.size()) + 1, pass_layers, layer, 4,
      [](const LayerPtr& l) { return needs_skip_dma_load(l) || needs_skip_dma_store(l); });
}

uint32_t store_index(const LayerPtr& layer, const LayerList& run_layers) {
  return running_index(1, run_layers, layer, 2, [](const LayerPtr& l) {
    return needs_skip_dma_store(l) || is_dual_source_merge_layer(l);
  });
}

void record_concat_offset(const LayerPtr& layer, DepthMemo& memo) {
  if (is_skip_dma(layer)) return;
  const LayerList outbounds = layer->outbound_layers();
  if (outbounds.empty() || !has_type(outbounds.front(), LayerType::Concatenate)) return;
  const auto [a, b] = merge_inputs(outbounds.front(), layer);
  if (layer == b && layer_depth(b, memo) > layer_depth(a, memo))
    require_layer_mapping(*layer).concat_offset = a->output_dims()[2];
}

void record_merge_info(const LayerPtr& layer, const LayerList& pass_layers,
                       const LayerList& run_layers, DepthMemo& memo) {
  LayerMapping& mapping = require_layer_mapping(*layer);
  const LayerPtr source = layer->inbound_layers().front();
  const uint32_t own_index = dma_index(layer, pass_layers, run_layers);
  MergeInfo info;
  info.is_add = has_type(source, LayerType::Add);
  info.index = static_cast<uint8_t>(own_index + 1);
  info.not_first = layer != first_mappable_layer(pass_layers);
  if (info.is_add) {
    const Variables& variables = source->variables();
    info.a_shift = variables.get("a_shift");
    info.b_shift = variables.get("b_shift");
    info.output_shift = variables.get("output_shift");
    const auto [first, second] = merge_inputs(source, layer);
    if (layer_depth(first, memo) < layer_depth(second, memo)) std::swap(info.a_shift, info.b_shift);
  }
  if (is_dual_source_merge_layer(layer)) {
    info.dual_source = true;
    LayerPtr other;
    if (!dual_output_to_store_dma(layer)) {
      const LayerList outs = source->outbound_layers();
      other = get_mappable_layer(outs[0]) == layer ? get_mappable_layer(outs[1])
                                                   : get_mappable_layer(outs[0]);
    }
    if (other) {
      if (!contains(pass_layers, other)) fail(layer, kSecondBranch);
      info.other_order = require_layer_mapping(*other).order;
    } else {
      info.other_order = static_cast<uint8_t>(own_index + 3);
    }
  }
  mapping.merge_info = std::move(info);
}

void record_output_store_info(const LayerPtr& layer, const LayerList& pass_layers,
                              const LayerList& run_layers, DepthMemo& memo) {
  LayerMapping& mapping = require_layer_mapping(*layer);
  SkipStoreInfo info;
  if (layer->is_target_component(ComponentKind::TNP_B)) {
    info.distance = fifo_distance(layer);
    info.flag = 1;
    const auto it = std::find(run_layers.begin(), run_layers.end(), layer);
    if (it == run_layers.end()) fail(layer, "Layer not found in the sequence.");
    info.index = static_cast<uint8_t>(it - run_layers.begin());
  } else {
    info.distance = outbound_distance(layer, memo);
    info.index = static_cast<uint8_t>(store_index(layer, run_layers));
    const LayerList outbounds = layer->outbound_layers();
    if (outbounds.size() == 1 && is_skip_dma(outbounds.front())) {
      mapping.next_order = static_cast<uint8_t>(dma_index(layer, pass_layers, run_layers) + 2);
      info.flag = 1;
    }
  }
  mapping.store_info = info;
}

void record_dual_store_info(const LayerPtr& layer, const LayerList& run_layers, DepthMemo& memo) {
  LayerMapping& mapping = require_layer_mapping(*layer);
  const LayerPtr source = layer->inbound_layers().front();
  SkipStoreInfo info;
  info.distance = outbound_distance(source, memo);
  const bool first = !run_layers.empty() && run_layers.front() == layer;
  info.index = static_cast<uint8_t>(first ? 2 : store_index(layer, run_layers) + 1);
  mapping.dual_store_info = info;
}

void record_load_info(const LayerPtr& layer, const LayerList& pass_layers,
                      const LayerList& run_layers, DepthMemo& memo) {
  for (const auto& pass_layer : pass_layers) layer_depth(pass_layer, memo);
  LayerMapping& mapping = require_layer_mapping(*layer);
  SkipLoadInfo info;
  if (layer->is_target_component(ComponentKind::TNP_B)) {
    info.index = static_cast<uint8_t>(mapping.order - 1);
    info.distance = fifo_distance(layer);
    info.store_index = mapping.store_info ? mapping.store_info->index : 0;
  } else {
    const LayerPtr source = layer->inbound_layers().front();
    const auto [a, b] = merge_inputs(source, layer);
    const uint32_t depth_a = layer_depth(a, memo);
    const uint32_t depth_b = layer_depth(b, memo);
    info.index = static_cast<uint8_t>(dma_index(layer, pass_layers, run_layers));
    info.distance = static_cast<uint8_t>(depth_b > depth_a ? depth_b - depth_a : depth_a - depth_b);
    LayerList sources = source->inbound_layers();
    sort_by_depth(sources);
    LayerPtr shallowest = sources.front();
    if (is_skip_dma(shallowest)) {
      LayerList outs = shallowest->outbound_layers();
      sort_by_depth(outs);
      if (!outs.empty()) shallowest = outs.front();
    }
    info.store_index = static_cast<uint8_t>(store_index(shallowest, run_layers) + info.distance);
    if (depth_b < depth_a && has_type(source, LayerType::Concatenate))
      info.concat_offset = a->output_dims()[2];
  }
  mapping.load_info = info;
}

void record_branch_info(const LayerPtr& fork, const LayerList& pass_layers) {
  for (const auto& out : fork->outbound_layers())
    if (!contains(pass_layers, out)) fail(fork, kSecondBranch);
  const auto [main, skip] = extract_branches(fork);
  const LayerPtr m = main.empty() ? nullptr : get_mappable_layer(main.front());
  const LayerPtr k = skip.empty() ? nullptr : get_mappable_layer(skip.front());
  if (!m || !k) fail(fork, kSecondBranch);
  LayerMapping& main_mapping = require_layer_mapping(*m);
  LayerMapping& skip_mapping = require_layer_mapping(*k);
  const uint32_t np_count =
      static_cast<uint32_t>(main_mapping.nps->size() + skip_mapping.nps->size());
  main_mapping.branch_info = BranchInfo{false, np_count, 0};
  skip_mapping.branch_info = BranchInfo{true, np_count, main_mapping.order};
  LayerMapping& fork_mapping = require_layer_mapping(*fork);
  fork_mapping.next_order = main_mapping.order;
  fork_mapping.outbound.push_back(main_mapping.nps);
  fork_mapping.outbound.push_back(skip_mapping.nps);
}

}  // namespace morla
