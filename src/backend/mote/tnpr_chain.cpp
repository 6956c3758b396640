#include "backend/mote/tnpr_chain.h"

#include "engine_api/layer_params.h"

namespace morla::mote {

LayerType layer_type(const Layer& layer) {
  const LayerParams* params = layer.params();
  return params ? params->layer_type() : LayerType::Unknown;
}

bool is_stateful_recurrent(const Layer& layer) {
  return layer_type(layer) == LayerType::StatefulRecurrent;
}

bool on_tnp_r(const Layer& layer) { return layer.is_target_component(ComponentKind::TNP_R); }

bool comes_from_host(const Layer& layer) { return layer.is_target_component(ComponentKind::None); }

std::shared_ptr<Layer> first_outbound(const Layer& layer) {
  const auto outbounds = layer.outbounds();
  return outbounds.empty() ? nullptr : outbounds.front();
}

std::shared_ptr<Layer> first_inbound(const Layer& layer) {
  const auto inbounds = layer.inbounds();
  return inbounds.empty() ? nullptr : inbounds.front();
}

uint32_t input_channels(const Layer& layer) { return layer.input_dims()[2]; }

uint32_t input_timesteps(const Layer& layer) { return layer.input_dims()[1]; }

uint32_t input_bit_width(const Layer& layer) { return static_cast<uint8_t>(layer.input_bits()); }

uint32_t output_bit_width(const Layer& layer) { return static_cast<uint8_t>(layer.output_bits()); }

uint32_t unsigned_param(const Layer& layer, const char* key) {
  return static_cast<uint32_t>(layer.params()->get(key));
}

}  // namespace morla::mote
