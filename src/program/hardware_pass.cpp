#include "program/hardware_pass.h"

#include <stdexcept>

#include "core/device.h"
#include "engine_api/layer_impl.h"
#include "core/mesh.h"
#include "mapping/pass_mapping.h"
#include "contract/program_record.h"

namespace morla {

HardwarePass::HardwarePass(const LayerList& scratch_layers, const LayerList& run_layers,
                           const std::vector<ComponentList>& components, uint32_t dma_ident,
                           const std::shared_ptr<HardwarePass>& previous_pass) {
  collect_pass_layers(scratch_layers, run_layers, components, dma_ident);
  layers = scratch_layers;
  installed_.reserve(layers.size());
  for (const auto& layer : layers) installed_.push_back(layer->mapping());
  if (previous_pass) {
    const LayerPtr previous_last = last_mappable_layer(previous_pass->layers);
    const LayerPtr first = first_mappable_layer(layers);
    if (previous_last && first) link_previous_pass(first, previous_last);
  }
}

HardwarePass::~HardwarePass() {
  for (size_t i = 0; i < layers.size(); ++i) {
    const LayerPtr& layer = layers[i];
    if (!dynamic_cast<LayerImpl*>(layer.get())) continue;
    // Only the mapping this pass installed: a later mapping of the layer stays.
    const std::shared_ptr<Layer::Mapping> mine = installed_[i].lock();
    if (mine && layer->mapping() == mine) layer->mapping().reset();
  }
}

PassContext build_pass_context(const std::shared_ptr<Device>& device,
                               const IpVersionSpecificHardwareBackend* backend,
                               const IoRecorder* io_recorder, const LayerRecorder* layer_recorder) {
  PassContext context;
  context.device = device;
  context.backend = backend;
  context.io_recorder = io_recorder;
  context.layer_recorder = layer_recorder;
  return context;
}

void build_hardware_passes(PassContext& context, LayerList group_layers,
                           const LayerList& run_layers,
                           std::vector<ComponentList> group_components) {
  if (!context.device) throw std::invalid_argument("A pass context needs a device.");
  if (context.pending) {
    group_layers.insert(group_layers.begin(), context.pending->layer);
    group_components.insert(group_components.begin(), context.pending->components);
    context.pending.reset();
  }
  if (!group_layers.empty() && group_layers.size() == group_components.size() &&
      group_layers.back()->is_target_component(ComponentKind::SKIP_DMA)) {
    context.pending = PendingLayer{group_layers.back(), group_components.back()};
    group_layers.pop_back();
    group_components.pop_back();
  }
  context.layers.insert(context.layers.end(), group_layers.begin(), group_layers.end());
  std::shared_ptr<HardwarePass> previous;
  if (!context.passes.empty())
    previous = std::dynamic_pointer_cast<HardwarePass>(context.passes.back());
  const uint32_t dma = program::ident_key(context.device->mesh().dma_event);
  context.passes.push_back(
      std::make_shared<HardwarePass>(group_layers, run_layers, group_components, dma, previous));
}

}  // namespace morla
