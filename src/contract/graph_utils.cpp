#include "contract/graph_utils.h"

#include <algorithm>

namespace morla {

namespace {

bool is_skip_dma(const LayerPtr& layer) {
  return layer && layer->is_target_component(ComponentKind::SKIP_DMA);
}

bool is_mappable(const LayerPtr& layer) {
  return layer && !layer->is_target_component(ComponentKind::SKIP_DMA) &&
         !layer->is_target_component(ComponentKind::None);
}

uint32_t fresh_depth(const LayerPtr& layer) {
  DepthMemo memo;
  return layer_depth(layer, memo);
}

// Of two candidates, the one whose branch is longer before the branches meet; `a` on a tie.
LayerPtr longer_branch(const LayerPtr& a, const LayerPtr& b) {
  const LayerList main_a = extract_branches(a).first;
  const LayerList main_b = extract_branches(b).first;
  const LayerPtr merge = find_merge_layer(main_a, main_b);
  return branch_length_to(main_a, merge) < branch_length_to(main_b, merge) ? b : a;
}

LayerList mappable_of(const LayerList& layers) {
  LayerList out;
  for (const auto& layer : layers)
    if (is_mappable(layer)) out.push_back(layer);
  return out;
}

LayerList mappable_layers_of(const LayerList& layers) {
  LayerList out;
  out.reserve(layers.size());
  for (const auto& layer : layers) out.push_back(get_mappable_layer(layer));
  return out;
}

// Walks a list keeping the number of open branch ends, the first layer counting one inbound.
int64_t branch_delta(const LayerPtr& layer, bool first) {
  const auto outs = static_cast<int64_t>(layer->outbound_layers().size());
  const auto ins = first ? int64_t{1} : static_cast<int64_t>(layer->inbound_layers().size());
  return outs - ins;
}

}  // namespace

uint32_t layer_depth(const LayerPtr& layer, DepthMemo& memo) {
  if (!layer) return 0;
  const auto it = memo.find(layer.get());
  if (it != memo.end()) return it->second;
  const LayerList inbounds = layer->inbound_layers();
  if (inbounds.empty()) return 1;
  uint32_t deepest = 0;
  for (const auto& inbound : inbounds) deepest = std::max(deepest, layer_depth(inbound, memo));
  const uint32_t depth = deepest + (is_skip_dma(layer) ? 0 : 1);
  memo[layer.get()] = depth;
  return depth;
}

void sort_by_depth(LayerList& layers) {
  DepthMemo memo;
  std::vector<std::pair<uint32_t, LayerPtr>> keyed;
  keyed.reserve(layers.size());
  for (auto& layer : layers) keyed.emplace_back(layer_depth(layer, memo), std::move(layer));
  std::stable_sort(keyed.begin(), keyed.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
  for (size_t i = 0; i < keyed.size(); ++i) layers[i] = std::move(keyed[i].second);
}

std::pair<LayerList, LayerList> extract_branches(const LayerPtr& layer) {
  LayerList main, skip;
  if (!layer) return {main, skip};
  const LayerList outbounds = layer->outbound_layers();
  if (outbounds.empty()) return {main, skip};
  main.push_back(outbounds[0]);
  const LayerList rest_main = extract_branches(outbounds[0]).first;
  main.insert(main.end(), rest_main.begin(), rest_main.end());
  if (outbounds.size() == 2) {
    skip.push_back(outbounds[1]);
    const LayerList rest_skip = extract_branches(outbounds[1]).first;
    skip.insert(skip.end(), rest_skip.begin(), rest_skip.end());
  }
  sort_by_depth(main);
  sort_by_depth(skip);
  const LayerPtr merge = find_merge_layer(main, skip);
  if (merge && branch_length_to(main, merge) < branch_length_to(skip, merge)) std::swap(main, skip);
  return {main, skip};
}

LayerPtr find_merge_layer(std::span<const LayerPtr> a, const LayerList& b) {
  if (a.empty() || b.empty()) return nullptr;
  LayerList common;
  for (const auto& layer : a)
    if (std::find(b.begin(), b.end(), layer) != b.end()) common.push_back(layer);
  if (common.empty()) return nullptr;
  sort_by_depth(common);
  return common.front();
}

uint32_t branch_length_to(std::span<const LayerPtr> branch, const LayerPtr& target) {
  if (branch.empty() || branch.front() == target) return 0;
  const auto it = std::find(branch.begin(), branch.end(), target);
  if (it == branch.end()) return fresh_depth(branch.back());
  return fresh_depth(*(it - 1));
}

LayerPtr get_mappable_layer(const LayerPtr& layer) {
  if (!is_skip_dma(layer)) return layer;
  LayerList candidates;
  for (const auto& out : layer->outbound_layers())
    if (!is_skip_dma(out)) candidates.push_back(out);
  if (candidates.empty()) return nullptr;
  if (candidates.size() == 1) return candidates[0];
  return longer_branch(candidates[0], candidates[1]);
}

LayerPtr first_mappable_layer(const LayerList& layers) {
  LayerList found = mappable_of(layers);
  if (found.empty()) return nullptr;
  sort_by_depth(found);
  if (found.size() == 1) return found[0];
  DepthMemo memo;
  if (layer_depth(found[0], memo) < layer_depth(found[1], memo)) return found[0];
  return longer_branch(found[0], found[1]);
}

LayerPtr last_mappable_layer(const LayerList& layers) {
  LayerList found = mappable_of(layers);
  if (found.empty()) return nullptr;
  sort_by_depth(found);
  const size_t n = found.size();
  if (n == 1) return found[0];
  DepthMemo memo;
  if (layer_depth(found[n - 1], memo) > layer_depth(found[n - 2], memo)) return found[n - 1];
  return longer_branch(found[n - 1], found[n - 2]);
}

LayerPtr next_mappable_layer(const LayerPtr& layer) {
  if (!layer) return nullptr;
  return first_mappable_layer(mappable_layers_of(layer->outbound_layers()));
}

LayerPtr previous_mappable_layer(const LayerPtr& layer) {
  if (!layer) return nullptr;
  const LayerList inbounds = layer->inbound_layers();
  if (inbounds.empty()) return nullptr;
  const LayerPtr& source = inbounds[0];
  if (!is_skip_dma(source)) return source;
  if (is_merge_layer(layer)) {
    LayerList candidates = mappable_layers_of(source->inbound_layers());
    if (candidates.empty()) return nullptr;
    sort_by_depth(candidates);
    return candidates.back();
  }
  const LayerList main = extract_branches(source).first;
  return main.empty() ? nullptr : get_mappable_layer(main.front());
}

bool is_merge_layer(const LayerPtr& layer) {
  if (!layer || !layer->is_target_component(ComponentKind::CNP)) return false;
  const LayerList inbounds = layer->inbound_layers();
  if (inbounds.empty() || !is_skip_dma(inbounds[0])) return false;
  const LayerPtr& source = inbounds[0];
  const LayerList outbounds = source->outbound_layers();
  const auto cnp_outs = std::count_if(outbounds.begin(), outbounds.end(), [](const LayerPtr& l) {
    return l && l->is_target_component(ComponentKind::CNP);
  });
  if (cnp_outs == 1) return true;
  const LayerList main = extract_branches(source).first;
  return std::find(main.begin(), main.end(), layer) != main.end();
}

bool is_dual_source_merge_layer(const LayerPtr& layer) {
  return is_merge_layer(layer) && layer->inbound_layers()[0]->outbound_layers().size() >= 2;
}

bool dual_output_to_store_dma(const LayerPtr& layer) {
  if (!is_merge_layer(layer)) return false;
  const LayerList outbounds = layer->inbound_layers()[0]->outbound_layers();
  if (outbounds.size() < 2) return false;
  DepthMemo memo;
  return layer_depth(get_mappable_layer(outbounds[0]), memo) !=
         layer_depth(get_mappable_layer(outbounds[1]), memo);
}

bool is_skip_source(const LayerPtr& layer) {
  if (!layer) return false;
  for (const auto& out : layer->outbound_layers()) {
    if (!is_skip_dma(out)) continue;
    LayerList sources = mappable_layers_of(out->inbound_layers());
    sort_by_depth(sources);
    if (!sources.empty() && sources.front() == layer) return true;
  }
  return false;
}

bool outbounds_have_equal_depth(const LayerPtr& layer, DepthMemo& memo) {
  if (!layer) return false;
  const LayerList outbounds = layer->outbound_layers();
  if (outbounds.size() != 2) return false;
  return layer_depth(get_mappable_layer(outbounds[0]), memo) ==
         layer_depth(get_mappable_layer(outbounds[1]), memo);
}

bool needs_skip_dma_store(const LayerPtr& layer) {
  if (!layer) return false;
  return layer->is_target_component(ComponentKind::TNP_B) || is_skip_source(layer) ||
         dual_output_to_store_dma(layer);
}

bool needs_skip_dma_load(const LayerPtr& layer) {
  if (!layer) return false;
  return layer->is_target_component(ComponentKind::TNP_B) || is_merge_layer(layer);
}

int64_t count_open_branches(const LayerList& layers) {
  if (layers.empty()) return 0;
  LayerList sorted = layers;
  sort_by_depth(sorted);
  int64_t open = 1;
  for (const auto& layer : sorted) open += branch_delta(layer, layer == layers.front());
  return open;
}

bool has_multiple_outbounds(const LayerPtr& layer) {
  return layer && layer->outbound_layers().size() >= 2;
}

LayerList collect_branch_block(const LayerList& layers) {
  LayerList block;
  int64_t open = 1;
  for (size_t i = 0; i < layers.size(); ++i) {
    const LayerPtr& layer = layers[i];
    block.push_back(layer);
    open += branch_delta(layer, i == 0);
    const bool last = i + 1 == layers.size();
    if (open == 1 && !(is_skip_dma(layer) && !last)) break;
  }
  return block;
}

}  // namespace morla
