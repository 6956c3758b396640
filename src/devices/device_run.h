#pragma once
// One batch through the program loaded on a hardware device: the checks, the
// timing and the shape of the result, apart from any array library.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "engine_api/hardware_device.h"
#include "drivers/power_meter.h"

namespace morla {

enum class InferenceMode : int { Fit = 0, Forward = 1, Predict = 2 };

struct DeviceRun {
  TensorResults outputs;
  size_t frames = 0;         // inputs handed to the device
  uint32_t clock_count = 0;  // device clocks of the run (wraps)
  int64_t start_ms = 0, end_ms = 0;
};

// Splits `inputs` (2 or 4 dimensions, the first counting the inputs) into one tensor
// per input and runs them in one call by `mode` (any other than Forward and Predict
// learns with `labels`: none, one, or one per input). Throws std::runtime_error
// "Input dimensions are not correct (Should be 4 or 2)." and "Number of labels should
// be the same as number of inputs."; the device's own errors pass through.
DeviceRun run_on_device(HardwareDevice& device, const Dense& inputs,
                        const std::vector<int32_t>& labels, InferenceMode mode);

// The events of the device's power meter, when its driver measures power.
std::optional<std::vector<PowerMeter::PowerEvent>> device_power_events(
    const HardwareDevice& device);

// How a run's outputs become one array: shape (outputs, a, b, c) from the first
// output, one frame of bytes per output.
struct OutputArray {
  std::string dtype;  // NumPy name
  size_t item_size = 0;
  Shape shape;
  size_t frame_bytes = 0;
  std::vector<std::shared_ptr<const Dense>> frames;  // dense views, in order
};

// For a non-empty output list. Throws std::runtime_error "Unexpected output type." for
// an element type without an array type, panics on a zero dimension, and refuses
// outputs whose type or byte size differs from the first output's, or a first output
// whose bytes do not fill its frame exactly.
OutputArray describe_output_array(const TensorResults& outputs);

}  // namespace morla
