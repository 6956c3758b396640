#include "mapping/pass_mapping.h"

#include <algorithm>
#include <stdexcept>

#include "mapping/pass_handlers.h"
#include "contract/memory_sizer.h"
#include "contract/program_record.h"

namespace morla {
namespace {

bool targets(const LayerPtr& layer, ComponentKind kind) { return layer->is_target_component(kind); }

SharedComponents single_component(hw::Type type, const hw::Ident& ident) {
  hw::Component component;
  component.type = type;
  component.ident = ident;
  return std::make_shared<ComponentList>(ComponentList{component});
}

bool contains(const LayerList& layers, const LayerPtr& layer) {
  return std::find(layers.begin(), layers.end(), layer) != layers.end();
}

// Records the pass information of one layer that runs on an NP, and links it to the
// previous mappable layer when that feeds it inside the pass.
void handle_pass_layer(const LayerPtr& layer, const LayerList& pass_layers,
                       const LayerList& run_layers, DepthMemo& memo) {
  LayerMapping& mapping = require_layer_mapping(*layer);
  const LayerList inbounds = layer->inbound_layers();
  if (inbounds.empty()) return;

  record_concat_offset(layer, memo);
  if (is_merge_layer(layer)) record_merge_info(layer, pass_layers, run_layers, memo);
  if (output_skip_dma_store(mapping))
    record_output_store_info(layer, pass_layers, run_layers, memo);
  if (dual_skip_dma_store(mapping)) record_dual_store_info(layer, run_layers, memo);
  if (skip_dma_load(mapping)) record_load_info(layer, pass_layers, run_layers, memo);
  if (outbounds_have_equal_depth(layer, memo)) record_branch_info(layer, pass_layers);

  if (!contains(pass_layers, inbounds.front())) return;
  const LayerPtr previous = previous_mappable_layer(layer);
  LayerMapping* before = previous ? layer_mapping(*previous) : nullptr;
  if (!before) return;
  mapping.inbound.push_back(before->nps);
  if (!outbounds_have_equal_depth(previous, memo)) {
    before->outbound.push_back(mapping.nps);
    before->next_order = mapping.order;
  }
  if (targets(layer, ComponentKind::TNP_B))
    before->outbound.push_back(share_components(mapping.skip_dma_loads));
}

}  // namespace

std::shared_ptr<LayerMapping> make_layer_mapping(const LayerPtr& layer,
                                                 const ComponentList& components, uint8_t order,
                                                 std::optional<uint32_t> input_dma,
                                                 std::optional<uint32_t> output_dma) {
  auto mapping = std::make_shared<LayerMapping>();
  mapping->order = order;
  mapping->next_order = 255;
  if (targets(layer, ComponentKind::HRC))
    mapping->inbound.push_back(single_component(hw::Type::HRC, hw::Ident{}));
  else if (input_dma)
    mapping->inbound.push_back(single_component(hw::Type::DMA, program::key_ident(*input_dma)));
  mapping->nps = std::make_shared<ComponentList>();
  for (const auto& component : components) {
    if (component.type == hw::Type::SKIP_DMA_LOAD)
      mapping->skip_dma_loads.push_back(component);
    else if (component.type == hw::Type::SKIP_DMA_STORE)
      mapping->skip_dma_stores.push_back(component);
    else
      mapping->nps->push_back(component);
  }
  mapping->tnp_b_skip = (!mapping->skip_dma_loads.empty() || !mapping->skip_dma_stores.empty()) &&
                        targets(layer, ComponentKind::TNP_B);
  if (output_dma) {
    mapping->outbound.push_back(single_component(hw::Type::DMA, program::key_ident(*output_dma)));
    mapping->has_output_dma = true;
  }
  layer->mapping() = mapping;
  return mapping;
}

void create_pass_mappings(const LayerList& pass_layers,
                          const std::vector<ComponentList>& components, uint32_t dma_ident) {
  if (components.size() != pass_layers.size())
    throw std::invalid_argument("A pass needs one component list per layer.");
  const LayerPtr first = first_mappable_layer(pass_layers);
  const LayerPtr last = last_mappable_layer(pass_layers);
  uint8_t counter = 0;
  for (size_t i = 0; i < pass_layers.size(); ++i) {
    const LayerPtr& layer = pass_layers[i];
    const bool on_hrc = targets(layer, ComponentKind::HRC);
    uint8_t order = 0;
    if (on_hrc) {
      order = 0;
    } else if (targets(layer, ComponentKind::SKIP_DMA)) {
      order = 255;
    } else {
      if (!targets(layer, ComponentKind::None)) ++counter;
      if (targets(layer, ComponentKind::TNP_B)) ++counter;
      order = counter;
    }
    std::optional<uint32_t> input_dma, output_dma;
    if (layer == first && !on_hrc) input_dma = dma_ident;
    if (layer == last) output_dma = dma_ident;
    make_layer_mapping(layer, components[i], order, input_dma, output_dma);
  }
}

void collect_pass_layers(const LayerList& pass_layers, const LayerList& run_layers,
                         const std::vector<ComponentList>& components, uint32_t dma_ident) {
  create_pass_mappings(pass_layers, components, dma_ident);
  DepthMemo memo;
  collect_pass_layers(pass_layers, run_layers, memo);
}

void collect_pass_layers(const LayerList& pass_layers, const LayerList& run_layers,
                         DepthMemo& memo) {
  for (const auto& layer : pass_layers) {
    if (targets(layer, ComponentKind::None) || targets(layer, ComponentKind::SKIP_DMA)) continue;
    handle_pass_layer(layer, pass_layers, run_layers, memo);
  }
}

void link_previous_pass(const LayerPtr& first, const LayerPtr& previous_last) {
  LayerMapping& current = require_layer_mapping(*first);
  LayerMapping& previous = require_layer_mapping(*previous_last);
  previous.outbound.clear();
  previous.outbound.push_back(current.nps);
  previous.next_order = static_cast<uint8_t>(previous.order + 1);
  previous.has_output_dma = false;
  current.previous_pass_order = previous.next_order;
  current.inbound.push_back(previous.nps);
}

MemoryInfo fill_memory_info(const MemorySizer& sizer, const LayerPtr& layer,
                            const hw::Component& component, const LayerPtr& first_layer,
                            bool is_dual_store, bool several_passes) {
  MemoryInfo info;
  info.input_size = sizer.input_memory_size(layer, component, first_layer);
  info.weight_size = sizer.weights_memory_size(layer, component);
  info.external_size = sizer.external_memory_size(layer, component, is_dual_store, several_passes);
  info.stsram_32b_size = sizer.stsram_size(layer);
  info.fsram_64b_size = sizer.fsram_size(layer);
  info.tsram_51b_size = sizer.tsram_size(layer);
  info.evsram_32b_size = sizer.evsram_size(layer);
  return info;
}

}  // namespace morla
