// The inference core of Model (forward, predict, fit) and the conversion of fit's labels.
#include <cmath>
#include <stdexcept>

#include "core/device.h"
#include "devices/device_run.h"
#include "core/hardware_device.h"
#include "core/platform.h"
#include "python/py_model.h"
#include "python/tensor_conversion.h"

namespace morla::python {

namespace {

constexpr const char* kLabelsError = "fit method expects integers as labels";

std::shared_ptr<Dense> converted_inputs(const py::array& inputs) {
  const py::object dtype = inputs.attr("dtype");
  if (dtype.equal(py::str("int8"))) return dense_from_numpy<int8_t>(inputs, TensorType::int8);
  if (dtype.equal(py::str("uint8"))) return dense_from_numpy<uint8_t>(inputs, TensorType::uint8);
  if (dtype.equal(py::str("int16"))) return dense_from_numpy<int16_t>(inputs, TensorType::int16);
  if (dtype.equal(py::str("float32"))) return dense_from_numpy<float>(inputs, TensorType::float32);
  throw std::invalid_argument("Input dtype should be int8, uint8, int16 or float32.");
}

}  // namespace

std::shared_ptr<Tensor> PyModel::run_inference(const py::array& inputs, Operation operation) {
  if (model_->layer_count() == 0)
    throw std::invalid_argument("Cannot perform an inference on a model with no layers");
  const std::shared_ptr<Dense> tensor = converted_inputs(inputs);
  power_events_.clear();
  const uint32_t frames = tensor->shape()[0];

  const auto device = model_->device();
  HardwareDevice* hardware = device ? device->hardware() : nullptr;
  uint32_t clk0 = 0;
  if (hardware) {
    hardware->set_clock_counter_enabled(true);
    clk0 = hardware->clock_counter();
  }
  const int64_t t0 = time_ms();
  std::shared_ptr<Tensor> result = operation(tensor);
  const int64_t t1 = time_ms();
  if (hardware) {
    const uint32_t clk1 = hardware->clock_counter();
    hardware->set_clock_counter_enabled(false);
    metrics_.set("inference_clk", static_cast<uint32_t>(clk1 - clk0));
    metrics_.set("program_clk", hardware->program_clock_count());
    if (auto events = device_power_events(*hardware)) power_events_ = std::move(*events);
  }
  metrics_.set("inference_frames", frames);
  metrics_.set("inference_start", t0);
  metrics_.set("inference_end", t1);
  return result;
}

py::array PyModel::forward(const py::array& inputs, uint32_t batch_size) {
  return tensor_to_numpy(run_inference(inputs, [&](std::shared_ptr<Dense> tensor) {
    return model_->forward(std::move(tensor), batch_size);
  }));
}

py::array PyModel::predict(const py::array& inputs, uint32_t batch_size) {
  return tensor_to_numpy(run_inference(inputs, [&](std::shared_ptr<Dense> tensor) {
    return model_->predict(std::move(tensor), batch_size);
  }));
}

py::array PyModel::fit(const py::array& inputs, const std::vector<int32_t>& labels,
                       uint32_t batch_size) {
  return tensor_to_numpy(run_inference(inputs, [&](std::shared_ptr<Dense> tensor) {
    return model_->fit(std::move(tensor), labels, batch_size);
  }));
}

std::vector<int32_t> labels_from_float(float label) {
  // NaN and values outside int32 are refused before the truncation, which they would make
  // undefined.
  if (std::isnan(label) || label < -2147483648.0f || label >= 2147483648.0f)
    throw py::type_error(kLabelsError);
  const auto value = static_cast<int32_t>(label);
  if (static_cast<float>(value) != label) throw py::type_error(kLabelsError);
  return {value};
}

std::vector<int32_t> labels_from_array(const py::array& labels) {
  const py::module_ numpy = py::module_::import("numpy");
  if (!numpy.attr("issubdtype")(labels.attr("dtype"), numpy.attr("integer")).cast<bool>())
    throw py::type_error(kLabelsError);
  return labels.cast<std::vector<int32_t>>();
}

std::vector<int32_t> labels_from_list(const py::list& labels) {
  try {
    return labels.cast<std::vector<int32_t>>();
  } catch (const py::cast_error&) {
    throw py::type_error(kLabelsError);
  } catch (const py::error_already_set&) {
    throw py::type_error(kLabelsError);
  }
}

}  // namespace morla::python
