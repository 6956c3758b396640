#include "engine_api/layer_params.h"

namespace morla {

std::string LayerParams::as_name(ActivationType activation) {
  switch (activation) {
    case ActivationType::NoActivation: return "NoActivation";
    case ActivationType::ReLU: return "ReLU";
    case ActivationType::LUT: return "LUT";
  }
  return "Unknown";
}

}  // namespace morla
