#pragma once
// What the program builder tells a v1 NP recorder about the layer's place in its pass.
#include <memory>
#include <vector>

#include "core/hw_ident.h"

namespace morla {
class Layer;
}

namespace morla::v1 {

struct PassPlacement {
  // The next pass's first mappable layer; empty for the last pass.
  std::shared_ptr<Layer> next_pass_first;
  bool first_of_pass = false;
  bool last_of_pass = false;
  // NPs that get no block.
  std::vector<hw::Ident> skip_idents;
  // Only the register blocks: the hand-over records the next pass's first layer early.
  bool handover = false;
};

}  // namespace morla::v1
