#include "backend/v1/memory_sizer.h"

#include <stdexcept>

#include "backend/v1/cnp_weight_sizes.h"
#include "backend/v1/fnp_sizes.h"
#include "backend/v1/hrc_recording.h"
#include "backend/v1/layer_access.h"
#include "backend/v1/layer_traits.h"
#include "engine_api/layer_params.h"

namespace morla::v1 {

namespace {

[[noreturn]] void invalid_type() { throw std::invalid_argument("Invalid v1 layer type."); }

uint32_t fnp_weight_bytes(const Layer& layer) { return 4 * fnp_weight_words(layer); }

// The unit that carries a layer type the sizer knows.
Carrier sized_carrier(const Layer& layer) {
  const LayerTraits* traits = find_layer_traits(layer_type(layer));
  if (!traits || traits->carrier == Carrier::model_input) invalid_type();
  return traits->carrier;
}

}  // namespace

uint32_t MemorySizerImpl::input_memory_size(const std::shared_ptr<Layer>& layer,
                                            const hw::Component& component,
                                            const std::shared_ptr<Layer>&) const {
  switch (sized_carrier(*layer)) {
    case Carrier::cnp: {
      // The split carries the partition's channels and the window's height as they are.
      const hw::NpBlock& piece = require_np_block(component);
      const uint32_t channels = piece.spatial_partition.shape[2];
      const uint32_t window_height = piece.input_window.shape[1];
      const uint32_t line_bytes =
          packed_bytes(input_shape(*layer)[0], static_cast<uint8_t>(layer->input_bits()));
      return 4 * packed_words(line_bytes, channels, window_height);
    }
    case Carrier::fnp: return static_cast<uint32_t>(4 * fnp_input_words(*layer));
    default: return 0;
  }
}

uint32_t MemorySizerImpl::weights_memory_size(const std::shared_ptr<Layer>& layer,
                                              const hw::Component& component) const {
  switch (sized_carrier(*layer)) {
    case Carrier::hrc: return 4 * hrc_weight_words(*layer);
    case Carrier::fnp: return component.type == hw::Type::FNP3 ? fnp_weight_bytes(*layer) : 0;
    // Bytes of the 50-bit slots the weights fill.
    case Carrier::cnp:
      return (cnp_weight_size(*layer, require_np_block(component).filters) / 2 * 50 + 7) / 8;
    default: return 0;
  }
}

uint32_t MemorySizerImpl::external_memory_size(const std::shared_ptr<Layer>& layer,
                                               const hw::Component& component, bool, bool) const {
  // An FNP2 keeps its weights in external memory.
  return component.type == hw::Type::FNP2 ? fnp_weight_bytes(*layer) : 0;
}

}  // namespace morla::v1
