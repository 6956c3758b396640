#pragma once
// The stand-in engine's description of every layer type: its parameter keys with their
// ranges and defaults, its IP generation, the hardware component it is meant for, and how
// a layer of the type is built (output shape, records, variables). The one table behind
// it is in layer_types.cpp.
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/enums.h"
#include "core/hw_type.h"
#include "core/ip_version.h"

namespace morla::engine {

class EngineLayer;
class LayerRunner;

struct KeyInfo {
  const char* name;
  int min;
  int max;
  std::optional<int> default_value;  // none: the key is required
};

// One row per layer type, written with designated initialisers (unnamed flags are false).
struct LayerTypeInfo {
  LayerType type = LayerType::Unknown;
  const char* name = "";
  // none for the types shared by every generation: they take the model's.
  IpVersion ip = IpVersion::none;
  ComponentKind target = ComponentKind::None;
  bool input_layer = false;      // takes the model's input itself (its input shape is in its keys)
  bool own_input_shape = false;  // input shape read from the keys (input layers and Quantizer)
  bool channel_wise = false;     // one output channel per input channel
  bool splittable = false;
  bool windowed = false;  // carries convolution and pooling records
  std::vector<KeyInfo> keys;
  // Sets the output shape, MACs, records and variables from the input shapes. The variables
  // it creates are the type's only statement of their sizes: a model buffer is checked
  // against them by running it under a byte limit (model_serializer.cpp).
  void (*build)(EngineLayer& layer) = nullptr;
  // The software arithmetic of a built layer.
  std::unique_ptr<LayerRunner> (*runner)(EngineLayer& layer) = nullptr;
  // Whether the outputs are signed.
  bool (*output_signed)(const EngineLayer& layer) = nullptr;

  // The entries with defaults filled in; refuses (std::invalid_argument) an unknown key, a
  // value out of range and a missing required key.
  std::map<std::string, int> complete(const std::map<std::string, int>& entries) const;
};

// Throws std::invalid_argument for Unknown and for values without a layer type.
const LayerTypeInfo& layer_type_info(LayerType type);

}  // namespace morla::engine
