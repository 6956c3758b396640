#pragma once
// The stand-in engine's description of every layer type: its parameter keys with their
// ranges and defaults, its IP generation, the hardware component it is meant for, and how
// a layer of the type is built (output shape, records, variables). The one table behind
// it is in layer_types.cpp.
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "core/enums.h"
#include "core/hw_type.h"
#include "core/ip_version.h"

namespace morla::engine {

class EngineLayer;

struct KeyInfo {
  const char* name;
  int min;
  int max;
  std::optional<int> default_value;  // none: the key is required
};

struct LayerTypeInfo {
  LayerType type;
  const char* name;
  // none for the types shared by every generation: they take the model's.
  IpVersion ip;
  ComponentKind target;
  bool input_layer;       // takes the model's input itself (its input shape is in its keys)
  bool own_input_shape;   // input shape read from the keys (input layers and Quantizer)
  bool channel_wise;      // one output channel per input channel
  bool splittable;
  bool windowed;          // carries convolution and pooling records
  std::vector<KeyInfo> keys;
  // Sets the output shape, MACs, records and standard variables from the input shapes.
  void (*build)(EngineLayer& layer);

  // The entries with defaults filled in; refuses (std::invalid_argument) an unknown key, a
  // value out of range and a missing required key.
  std::map<std::string, int> complete(const std::map<std::string, int>& entries) const;
};

// Throws std::invalid_argument for Unknown and for values without a layer type.
const LayerTypeInfo& layer_type_info(LayerType type);

}  // namespace morla::engine
