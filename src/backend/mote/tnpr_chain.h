#pragma once
// How the Mote back end walks a StatefulRecurrent chain: layer types, the TNP-R and host
// tests, and the next layer of the chain.
#include <cstdint>
#include <memory>

#include "engine_api/layer.h"
#include "core/enums.h"

namespace morla::mote {

// The type from the layer's parameters (Unknown when it has none).
LayerType layer_type(const Layer& layer);
bool is_stateful_recurrent(const Layer& layer);

// Meant for the TNP-R (component class 6).
bool on_tnp_r(const Layer& layer);
// Meant for no component (class 0): its output comes from the host.
bool comes_from_host(const Layer& layer);

// The chain follows the first consumer of each layer; null when there is none.
std::shared_ptr<Layer> first_outbound(const Layer& layer);
// The first producer; null when there is none.
std::shared_ptr<Layer> first_inbound(const Layer& layer);

// Channels (input dimension 2) and timesteps (input dimension 1) of a chain layer.
uint32_t input_channels(const Layer& layer);
uint32_t input_timesteps(const Layer& layer);
// The bit widths the hardware sees (the low byte of the layer's answer).
uint32_t input_bit_width(const Layer& layer);
uint32_t output_bit_width(const Layer& layer);

// A layer parameter read as the unsigned value the hardware compares.
uint32_t unsigned_param(const Layer& layer, const char* key);

}  // namespace morla::mote
