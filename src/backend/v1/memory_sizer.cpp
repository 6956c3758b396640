#include "backend/v1/memory_sizer.h"

#include <stdexcept>

#include "backend/v1/cnp_weight_sizes.h"
#include "backend/v1/fnp_sizes.h"
#include "backend/v1/hrc_recording.h"
#include "backend/v1/layer_access.h"
#include "core/enums.h"
#include "core/engine_api/layer_params.h"

namespace morla::v1 {

namespace {

[[noreturn]] void invalid_type() { throw std::invalid_argument("Invalid v1 layer type."); }

uint32_t fnp_weight_bytes(const Layer& layer) { return 4 * fnp_weight_words(layer); }

}  // namespace

uint32_t MemorySizerImpl::input_memory_size(const std::shared_ptr<Layer>& layer,
                                            const hw::Component& component,
                                            const std::shared_ptr<Layer>&) const {
  switch (layer_type(*layer)) {
    case LayerType::InputConvolutional:
    case LayerType::Add:
    case LayerType::Dequantizer:
    case LayerType::Quantizer: return 0;
    case LayerType::Convolutional:
    case LayerType::SeparableConvolutional: {
      // The split carries the partition's channels and the window's height as they are.
      const hw::NpBlock& piece = require_np_block(component);
      const uint32_t channels = piece.spatial_partition.shape[2];
      const uint32_t window_height = piece.input_window.shape[1];
      const uint32_t line_bytes =
          packed_bytes(input_shape(*layer)[0], static_cast<uint8_t>(layer->input_bits()));
      return 4 * packed_words(line_bytes, channels, window_height);
    }
    case LayerType::FullyConnected: return static_cast<uint32_t>(4 * fnp_input_words(*layer));
    default: invalid_type();
  }
}

uint32_t MemorySizerImpl::weights_memory_size(const std::shared_ptr<Layer>& layer,
                                              const hw::Component& component) const {
  switch (layer_type(*layer)) {
    case LayerType::InputConvolutional: return 4 * hrc_weight_words(*layer);
    case LayerType::FullyConnected:
      return component.type == hw::Type::FNP3 ? fnp_weight_bytes(*layer) : 0;
    case LayerType::Convolutional:
    case LayerType::SeparableConvolutional: {
      // Bytes of the 50-bit slots the weights fill.
      return (cnp_weight_size(*layer, require_np_block(component).filters) / 2 * 50 + 7) / 8;
    }
    case LayerType::Add:
    case LayerType::Dequantizer:
    case LayerType::Quantizer: return 0;
    default: invalid_type();
  }
}

uint32_t MemorySizerImpl::external_memory_size(const std::shared_ptr<Layer>& layer,
                                               const hw::Component& component, bool, bool) const {
  // An FNP2 keeps its weights in external memory.
  return component.type == hw::Type::FNP2 ? fnp_weight_bytes(*layer) : 0;
}

}  // namespace morla::v1
