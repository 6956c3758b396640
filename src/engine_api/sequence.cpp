#include "engine_api/sequence.h"

#include "engine_api/layer.h"

namespace morla {

std::string sequence_name(const std::string& prefix,
                          const std::vector<std::shared_ptr<Layer>>& layers) {
  std::string text = prefix + "/";
  if (layers.empty()) return text;
  text += layers.front()->name();
  if (layers.size() >= 2) text += "-" + layers.back()->name();
  return text;
}

}  // namespace morla
