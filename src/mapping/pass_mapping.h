#pragma once
// Creating and linking the layer mappings of one hardware pass.
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "contract/graph_utils.h"
#include "contract/layer_mapping.h"

namespace morla {

class MemorySizer;

// Creates a LayerMapping for `layer` from its components and installs it as the layer's
// mapping (replacing any earlier one); returns it.
std::shared_ptr<LayerMapping> make_layer_mapping(const LayerPtr& layer,
                                                 const ComponentList& components, uint8_t order,
                                                 std::optional<uint32_t> input_dma,
                                                 std::optional<uint32_t> output_dma);

// The mappings of one pass: orders, the pass's input DMA on its first mappable layer and
// its output DMA on its last. `dma_ident` is the pass DMA's ident as one 32-bit value.
void create_pass_mappings(const LayerList& pass_layers,
                          const std::vector<ComponentList>& components, uint32_t dma_ident);

// create_pass_mappings, then the pass handler of every layer that targets neither None nor
// a skip DMA. `run_layers` is the whole layer list of the mapping run, in model order.
void collect_pass_layers(const LayerList& pass_layers, const LayerList& run_layers,
                         const std::vector<ComponentList>& components, uint32_t dma_ident);
// Only the pass handler over `pass_layers`, with the caller's depth memo.
void collect_pass_layers(const LayerList& pass_layers, const LayerList& run_layers,
                         DepthMemo& memo);

// Links the first layer of a pass to the last layer of the previous pass.
void link_previous_pass(const LayerPtr& first, const LayerPtr& previous_last);

// The seven memory sizes of `component`, as the back end's sizer gives them.
MemoryInfo fill_memory_info(const MemorySizer& sizer, const LayerPtr& layer,
                            const hw::Component& component, const LayerPtr& first_layer,
                            bool is_dual_store, bool several_passes);

}  // namespace morla
