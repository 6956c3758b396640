#pragma once
// What the v2 layer rules read of a layer: its parameters, its bit widths, its input and
// the back end's hardware description, read when a rule asks.
#include <cstdint>

#include "backend/v2/layer_param.h"
#include "engine_api/layer.h"
#include "engine_api/layer_params.h"
#include "core/shape.h"
#include "contract/hardware_description.h"

namespace morla::v2 {

struct LayerFacts {
  const Layer& layer;
  const HardwareDescription* description = nullptr;

  int param(const char* key) const { return v2::param(layer, key); }
  bool has_param(const char* key) const { return layer.params()->has(key); }
  uint32_t word(HardwareDescription::Word word) const { return (*description)[word]; }
  Shape input() const { return layer.input_dims(); }
  uint32_t input_bits() const { return layer.input_bits() & 0xFF; }
  uint32_t output_bits() const { return layer.output_bits() & 0xFF; }
  bool activation() const { return layer.has_activation(); }
  bool lut() const { return layer.has_activation_type(ActivationType::LUT); }
  // "filters" when the layer has it, else its input channels.
  uint32_t filters_or_channels() const {
    return has_param("filters") ? static_cast<uint32_t>(param("filters")) : input()[2];
  }
};

}  // namespace morla::v2
