#pragma once
// The NP programs of a mapped v1 Convolutional or SeparableConvolutional layer: per CNP a
// register block, then (unless the program is a pass hand-over) its weights and threshold
// words.
#include <cstdint>
#include <memory>
#include <vector>

#include "mapping/program_record.h"

namespace morla {
class Device;
class Layer;
}  // namespace morla

namespace morla::v1 {

// What the program builder tells a v1 NP recorder about the layer's place in its pass.
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

program::RecordPtr record_convolutional(const Device& device, const Layer& layer,
                                        const PassPlacement& placement);
program::RecordPtr record_separable_convolutional(const Device& device, const Layer& layer,
                                                  const PassPlacement& placement);

}  // namespace morla::v1
