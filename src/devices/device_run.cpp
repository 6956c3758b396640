#include "devices/device_run.h"

#include <stdexcept>

#include "core/platform.h"
#include "drivers/hardware_driver.h"
#include "drivers/soc_driver.h"

namespace morla {
namespace {

// NumPy name and item size of an output element type; empty name when none.
std::pair<const char*, size_t> array_type_of(TensorType type) {
  switch (type) {
    case TensorType::int32: return {"int32", 4};
    case TensorType::float32: return {"float32", 4};
    case TensorType::uint8:
    case TensorType::uint4:
    case TensorType::uint2:
    case TensorType::bit: return {"uint8", 1};
    case TensorType::int8: return {"int8", 1};
    default: return {nullptr, 0};
  }
}

}  // namespace

DeviceRun run_on_device(HardwareDevice& device, const Dense& inputs,
                        const std::vector<int32_t>& labels, InferenceMode mode) {
  const Shape shape = inputs.shape();
  if (shape.size() != 2 && shape.size() != 4)
    throw std::runtime_error("Input dimensions are not correct (Should be 4 or 2).");
  const TensorList frames = Dense::split(inputs);
  device.set_batch_size(frames.size(), true);
  device.set_clock_counter_enabled(true);
  const uint32_t clock_start = device.clock_counter();
  DeviceRun run;
  run.frames = frames.size();
  run.start_ms = time_ms();
  switch (mode) {
    case InferenceMode::Predict: run.outputs = device.predict(frames); break;
    case InferenceMode::Forward: run.outputs = device.forward(frames); break;
    default:
      if (labels.size() >= 2 && labels.size() != shape.front())
        throw std::runtime_error("Number of labels should be the same as number of inputs.");
      run.outputs = device.fit(frames, labels);
  }
  run.end_ms = time_ms();
  run.clock_count = device.clock_counter() - clock_start;
  device.set_clock_counter_enabled(false);
  return run;
}

std::optional<std::vector<PowerMeter::PowerEvent>> device_power_events(
    const HardwareDevice& device) {
  auto* soc = dynamic_cast<SocDriver*>(device.driver());
  if (!soc) return std::nullopt;
  const std::shared_ptr<PowerMeter> meter = soc->power_meter();
  if (!meter) return std::nullopt;
  return meter->events();
}

OutputArray describe_output_array(const TensorResults& outputs) {
  const auto& first = outputs.front();
  const Shape first_shape = first->shape();
  OutputArray array;
  array.shape = Shape(
      {static_cast<uint32_t>(outputs.size()), first_shape[0], first_shape[1], first_shape[2]});
  array.frames.push_back(Tensor::ensure_dense(first));
  array.frame_bytes = array.frames.front()->buffer().size();
  const auto [dtype, item_size] = array_type_of(first->type());
  if (!dtype) throw std::runtime_error("Unexpected output type.");
  array.dtype = dtype;
  array.item_size = item_size;
  for (size_t i = 1; i < outputs.size(); ++i) {
    if (outputs[i] && outputs[i]->type() == first->type())
      array.frames.push_back(Tensor::ensure_dense(outputs[i]));
    if (array.frames.size() != i + 1 || array.frames.back()->buffer().size() != array.frame_bytes)
      throw std::runtime_error(
          "Every output must have the type and byte size of the first output.");
  }
  if (size_t{first_shape[0]} * first_shape[1] * first_shape[2] * item_size != array.frame_bytes)
    throw std::runtime_error("The first output's bytes do not match its shape.");
  return array;
}

}  // namespace morla
