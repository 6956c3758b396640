#include "backend/v2/memory_sizer.h"

#include <algorithm>
#include <stdexcept>

#include "backend/v2/cnp_weight_layout.h"
#include "backend/v2/fnp_sizes.h"
#include "backend/v2/hrc_recorder.h"
#include "backend/v2/layer_param.h"
#include "backend/v2/layer_traits.h"
#include "backend/v2/tnp_b_sizes.h"
#include "engine_api/layer_params.h"
#include "contract/graph_utils.h"

namespace morla::v2 {

namespace {

// Input words a convolution NP adds when an Add feeds it.
constexpr uint32_t kAddFeedWords = 512;

[[noreturn]] void invalid_type() { throw std::invalid_argument("Invalid v2 layer type."); }

uint32_t ceil_words(uint32_t bits) { return (bits + 31) / 32; }

bool on_cnp(const hw::Component& c) { return c.type == hw::Type::CNP1 || c.type == hw::Type::CNP2; }

const hw::NpBlock& part_of(const Layer& layer, const hw::Component& c) {
  if (!c.np_block)
    throw std::runtime_error("A component of layer '" + layer.name() + "' has no split part.");
  return *c.np_block;
}

uint32_t uparam(const Layer& layer, const char* key) {
  return static_cast<uint32_t>(param(layer, key));
}

bool fed_by_add(const Layer& layer) {
  const auto inbounds = layer.inbounds();
  return !inbounds.empty() && inbounds.front() &&
         inbounds.front()->params()->layer_type() == LayerType::Add;
}

uint32_t cnp_input_bytes(const Layer& layer, const hw::Component& c) {
  const hw::NpBlock& part = part_of(layer, c);
  const Shape window = part.input_window.shape;
  uint32_t words = ceil_words((layer.input_bits() & 0xFF) * window[0]) *
                   part.spatial_partition.shape[2] * window[1];
  if (fed_by_add(layer)) words += kAddFeedWords;
  return 4 * words;
}

bool temporal(LayerType type) {
  const LayerTraits* traits = find_layer_traits(type);
  return traits && traits->carrier == Carrier::tnp_b;
}

// The row of a layer type the sizer knows.
const LayerTraits& sized_traits(const Layer& layer) {
  const LayerTraits* traits = find_layer_traits(layer.params()->layer_type());
  if (!traits || traits->carrier == Carrier::model_input) invalid_type();
  return *traits;
}

// The skip buffer a skip-DMA store writes: a temporal layer's input frames, or a number of
// output (or input) rows deep enough for the branch it bridges.
uint32_t skip_buffer_bytes(const std::shared_ptr<Layer>& layer, bool input_side,
                           bool several_passes) {
  const bool is_temporal = temporal(layer->params()->layer_type());
  const bool use_input = input_side || is_temporal;
  const Shape d = use_input ? layer->input_dims() : layer->output_dims();
  const uint32_t bits = (use_input ? layer->input_bits() : layer->output_bits()) & 0xFF;
  if (is_temporal) {
    if (!layer->params()->has("fifo_size")) return 0;
    return 4 * d[1] * d[0] * ceil_words(d[2] * bits) * (uparam(*layer, "fifo_size") + 1);
  }
  if (several_passes) return 8 * d[2] * d[1] * ceil_words(d[0] * bits);
  DepthMemo memo;
  const uint32_t own = layer_depth(layer, memo);
  uint32_t deepest = 0;
  for (const auto& out : layer->outbounds())
    if (out) deepest = std::max(deepest, layer_depth(out, memo) - own);
  return 4 * d[2] * d[1] * ceil_words(d[0] * bits) * (3 + deepest);
}

}  // namespace

uint32_t MemorySizerImpl::input_memory_size(const std::shared_ptr<Layer>& layer,
                                            const hw::Component& component,
                                            const std::shared_ptr<Layer>& first_layer) const {
  switch (sized_traits(*layer).carrier) {
    case Carrier::cnp: return on_cnp(component) ? cnp_input_bytes(*layer, component) : 0;
    case Carrier::tnp_b:
      return component.type == hw::Type::TNP_B ? tnp_b_input_bytes(*layer, component) : 0;
    case Carrier::fnp: return 4 * fnp_input_words(*layer, layer == first_layer);
    default: return 0;
  }
}

uint32_t MemorySizerImpl::weights_memory_size(const std::shared_ptr<Layer>& layer,
                                              const hw::Component& component) const {
  const Layer& l = *layer;
  const LayerTraits& traits = sized_traits(l);
  switch (traits.carrier) {
    case Carrier::cnp:
      if (!on_cnp(component)) return 0;
      return weight_container_bytes(traits.weight_containers(l, part_of(l, component).filters));
    case Carrier::tnp_b:
      if (component.type != hw::Type::TNP_B) return 0;
      return weight_container_bytes(traits.weight_containers(l, part_of(l, component).filters));
    case Carrier::hrc: return 4 * hrc_weight_words(l);
    case Carrier::fnp: return component.type == hw::Type::FNP3 ? 4 * fnp_weight_words(l) : 0;
    default: return 0;
  }
}

uint32_t MemorySizerImpl::external_memory_size(const std::shared_ptr<Layer>& layer,
                                               const hw::Component& component, bool is_dual_store,
                                               bool several_passes) const {
  switch (component.type) {
    case hw::Type::FNP2: return 4 * fnp_weight_words(*layer);
    case hw::Type::SKIP_DMA_STORE: return skip_buffer_bytes(layer, is_dual_store, several_passes);
    default: return 0;
  }
}

}  // namespace morla::v2
