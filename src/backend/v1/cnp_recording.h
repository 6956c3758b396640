#pragma once
// The NP programs of a mapped v1 Convolutional or SeparableConvolutional layer: per CNP a
// register block, then (unless the program is a pass hand-over) its weights and threshold
// words.
#include "backend/v1/pass_placement.h"
#include "contract/program_record.h"

namespace morla {
class Device;
class Layer;
}  // namespace morla

namespace morla::v1 {

program::RecordPtr record_convolutional(const Device& device, const Layer& layer,
                                        const PassPlacement& placement);
program::RecordPtr record_separable_convolutional(const Device& device, const Layer& layer,
                                                  const PassPlacement& placement);

}  // namespace morla::v1
