#pragma once
// One group of mapped layers that the device runs in one go, and the building of the
// passes of one sequence.
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "engine_api/sequence.h"
#include "contract/graph_utils.h"
#include "contract/layer_mapping.h"

namespace morla {

class Device;
class IoRecorder;
class LayerRecorder;
class IpVersionSpecificHardwareBackend;

class HardwarePass final : public Sequence::Pass {
 public:
  // Creates and links the mappings of the pass's layers (see collect_pass_layers), then,
  // with a previous pass, links its last mappable layer to this pass's first.
  HardwarePass(const LayerList& scratch_layers, const LayerList& run_layers,
               const std::vector<ComponentList>& components, uint32_t dma_ident,
               const std::shared_ptr<HardwarePass>& previous_pass);
  // Removes from its layers the mappings this pass installed; a mapping installed since
  // (by a later mapping of the same layers) is left alone.
  ~HardwarePass() override;
  HardwarePass(const HardwarePass&) = delete;
  HardwarePass& operator=(const HardwarePass&) = delete;

 private:
  std::vector<std::weak_ptr<Layer::Mapping>> installed_;
};

// A skip-DMA layer held back from the previous group, with its components.
struct PendingLayer {
  LayerPtr layer;
  ComponentList components;
};

// What the passes of one sequence share while they are built.
struct PassContext {
  std::shared_ptr<Device> device;
  const IpVersionSpecificHardwareBackend* backend = nullptr;
  const IoRecorder* io_recorder = nullptr;
  const LayerRecorder* layer_recorder = nullptr;
  LayerList layers;  // the layers of all passes built so far
  std::vector<std::shared_ptr<Sequence::Pass>> passes;
  std::vector<uint8_t> program;  // filled by the program builder
  std::optional<PendingLayer> pending;
};

PassContext build_pass_context(const std::shared_ptr<Device>& device,
                               const IpVersionSpecificHardwareBackend* backend,
                               const IoRecorder* io_recorder, const LayerRecorder* layer_recorder);

// Appends the pass of one group. A trailing skip-DMA layer is held back to open the next
// group. `run_layers` is the whole layer list of the mapping run, in model order.
void build_hardware_passes(PassContext& context, LayerList group_layers,
                           const LayerList& run_layers,
                           std::vector<ComponentList> group_components);

}  // namespace morla
