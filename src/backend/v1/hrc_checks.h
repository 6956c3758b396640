#pragma once
// Whether an InputConvolutional layer fits the v1 HRC, the input convolution unit.
#include "contract/mapping_status.h"

namespace morla::v1 {

// Every broken rule adds its message; the activation-step range is checked only when every
// other rule holds.
MappingStatus check_input_convolutional(const Layer& layer);

}  // namespace morla::v1
