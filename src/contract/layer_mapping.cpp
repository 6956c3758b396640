#include "contract/layer_mapping.h"

#include <stdexcept>

namespace morla {
namespace {

bool is_dual_source(const LayerMapping& mapping) {
  return mapping.merge_info && mapping.merge_info->dual_source;
}

}  // namespace

const hw::Component* skip_dma_load(const LayerMapping& mapping) {
  return mapping.skip_dma_loads.empty() ? nullptr : &mapping.skip_dma_loads.front();
}

uint32_t output_skip_dma_store_index(const LayerMapping& mapping) {
  const size_t stores = mapping.skip_dma_stores.size();
  if (stores == 2 || (stores == 1 && !is_dual_source(mapping))) return 0;
  return kNoComponentIndex;
}

const hw::Component* output_skip_dma_store(const LayerMapping& mapping) {
  const uint32_t index = output_skip_dma_store_index(mapping);
  return index == kNoComponentIndex ? nullptr : &mapping.skip_dma_stores[index];
}

uint32_t dual_skip_dma_store_index(const LayerMapping& mapping) {
  if (!is_dual_source(mapping) || mapping.skip_dma_stores.empty()) return kNoComponentIndex;
  return static_cast<uint32_t>(mapping.skip_dma_stores.size() - 1);
}

const hw::Component* dual_skip_dma_store(const LayerMapping& mapping) {
  const uint32_t index = dual_skip_dma_store_index(mapping);
  return index == kNoComponentIndex ? nullptr : &mapping.skip_dma_stores[index];
}

LayerMapping* layer_mapping(const Layer& layer) {
  return dynamic_cast<LayerMapping*>(layer.mapping().get());
}

LayerMapping& require_layer_mapping(const Layer& layer) {
  LayerMapping* mapping = layer_mapping(layer);
  if (!mapping) throw std::runtime_error("Layer '" + layer.name() + "' is not mapped.");
  return *mapping;
}

SharedComponents share_components(const ComponentList& components) {
  return std::make_shared<ComponentList>(components);
}

}  // namespace morla
