#include "engine/software_sequence.h"

namespace morla::engine {

SoftwareSequence::SoftwareSequence(std::vector<std::shared_ptr<Layer>> layers) {
  auto pass = std::make_shared<Pass>();
  pass->layers = std::move(layers);
  passes_.push_back(std::move(pass));
}

std::string SoftwareSequence::name() const { return sequence_name("SW", layers()); }

}  // namespace morla::engine
