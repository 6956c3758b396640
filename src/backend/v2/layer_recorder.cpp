#include "backend/v2/layer_recorder.h"

#include <stdexcept>
#include <string>

#include "backend/v2/cnp_recorder.h"
#include "backend/v2/fnp_recorder.h"
#include "backend/v2/hrc_recorder.h"
#include "backend/v2/record_key.h"
#include "backend/v2/tnp_b_recorder.h"
#include "core/engine_api/layer.h"
#include "core/engine_api/layer_params.h"

namespace morla::v2 {

program::RecordPtr LayerRecorderImpl::record_layer(const std::shared_ptr<Layer>& layer,
                                                   const std::shared_ptr<Layer>& first_layer,
                                                   const std::shared_ptr<Layer>& next_pass_first,
                                                   uint8_t first_of_pass, uint8_t last_of_pass,
                                                   const std::vector<hw::Ident>& skip_idents,
                                                   uint8_t handover, uint8_t recorder_flag) const {
  const RecorderFlags flags{next_pass_first, first_of_pass != 0, last_of_pass != 0, skip_idents,
                            handover != 0, recorder_flag != 0};
  const Device& device = *device_;
  const LayerType type = layer->params()->layer_type();
  switch (type) {
    case LayerType::InputData:
    case LayerType::Add:
    case LayerType::Concatenate:
    case LayerType::Dequantizer:
    case LayerType::Quantizer:
      // Merge layers are programmed with the layers that carry them.
      return std::make_unique<program::Record>(record_key(device));
    case LayerType::Conv2D: return record_conv2d(device, *layer, flags);
    case LayerType::InputConv2D: return record_input_conv2d(device, *layer);
    case LayerType::DepthwiseConv2D: return record_depthwise_conv2d(device, *layer, flags);
    case LayerType::Conv2DTranspose: return record_conv2d_transpose(device, *layer, flags);
    case LayerType::DepthwiseConv2DTranspose:
      return record_depthwise_conv2d_transpose(device, *layer, flags);
    case LayerType::BufferTempConv: return record_buffer_temp_conv(device, *layer, flags);
    case LayerType::DepthwiseBufferTempConv:
      return record_depthwise_buffer_temp_conv(device, *layer, flags);
    case LayerType::Dense1D: return record_dense1d(device, *description_, *layer, first_layer, flags);
    default:
      throw std::runtime_error("Unsupported layer type: " + std::to_string(static_cast<int>(type)) + ".");
  }
}

LearningRecords LayerRecorderImpl::record_learning(const std::shared_ptr<Layer>&, uint32_t) const {
  throw std::runtime_error("Learning not implemented on v2.");
}

void LayerRecorderImpl::sync_learning_vars(const std::shared_ptr<Layer>&) const {
  throw std::runtime_error("Learning not implemented on v2.");
}

}  // namespace morla::v2
