#include "engine/software_sequence.h"

#include "core/layer.h"

namespace morla::engine {

SoftwareSequence::SoftwareSequence(std::vector<std::shared_ptr<Layer>> layers) {
  auto pass = std::make_shared<Pass>();
  pass->layers = std::move(layers);
  passes_.push_back(std::move(pass));
}

std::string SoftwareSequence::name() const {
  const auto& all = layers();
  std::string text = "SW/";
  if (all.empty()) return text;
  text += all.front()->name();
  if (all.size() >= 2) text += "-" + all.back()->name();
  return text;
}

}  // namespace morla::engine
