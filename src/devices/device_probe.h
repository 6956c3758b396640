#pragma once
// The start-up test inference of a device of the hardware version that needs one.
#include <memory>

namespace morla {

class Device;
class Model;

// The probe's one-layer model (an 8x8 input convolution with weights of ones), unmapped.
std::shared_ptr<Model> build_probe_model();

// Builds a one-layer model, maps it on the device and runs one input through it.
// Returns true when the inference itself throws; failures while building or
// mapping the model propagate.
bool probe_device(const std::shared_ptr<Device>& device);

}  // namespace morla
