// Running inputs through the program loaded on a hardware device.
#include "python/hardware_device_inference.h"

#include <pybind11/numpy.h>
#include <pybind11/stl.h>

#include <cstring>
#include <stdexcept>

#include "devices/device_run.h"
#include "model/metrics.h"
#include "python/label_conversion.h"
#include "python/tensor_conversion.h"

namespace morla::python {
namespace {

using InputArray = py::array_t<uint8_t, py::array::forcecast>;

constexpr const char* kFitDoc = "Learn from inputs on a programmed device.";
constexpr const char* kForwardDoc =
    "\n           Processes inputs on a programmed device.\n\n"
    "           :param inputs: ``numpy.ndarray`` with shape matching current program\n\n"
    "           :return: ``numpy.ndarray`` with outputs from the device\n          ";
constexpr const char* kPredictDoc =
    "\n           Processes inputs on a programmed device, returns a float array.\n\n"
    "           :param inputs: ``numpy.ndarray`` with shape matching current program\n\n"
    "           :return: ``numpy.ndarray`` with float outputs from the device\n          ";

py::array outputs_to_array(const TensorResults& outputs) {
  if (outputs.empty()) return py::array(py::dtype("float64"), std::vector<py::ssize_t>{0});
  const OutputArray layout = describe_output_array(outputs);
  std::vector<py::ssize_t> shape, strides;
  for (const uint32_t dim : layout.shape) shape.push_back(dim);
  for (const uint32_t stride : Dense::eval_strides(layout.shape, Dense::Layout::RowMajor))
    strides.push_back(static_cast<py::ssize_t>(stride * layout.item_size));
  py::array result(py::dtype(layout.dtype), shape, strides);
  auto* bytes = static_cast<uint8_t*>(result.mutable_data());
  for (size_t i = 0; i < layout.frames.size(); ++i)
    std::memcpy(bytes + i * layout.frame_bytes, layout.frames[i]->buffer().data(),
                layout.frame_bytes);
  return result;
}

py::array run_device_inference(PyHardwareDevice& self, const InputArray& inputs,
                               const std::vector<int32_t>& labels, InferenceMode mode) {
  const auto dense = dense_from_numpy<uint8_t>(inputs, TensorType::uint8);
  const DeviceRun run = run_on_device(self.engine(), *dense, labels, mode);
  record_inference(self.metrics(), {.frames = run.frames,
                                    .start_ms = run.start_ms,
                                    .end_ms = run.end_ms,
                                    .clock_count = run.clock_count,
                                    .program_clock_count = std::nullopt});
  if (auto events = device_power_events(self.engine())) self.power_events() = std::move(*events);
  return outputs_to_array(run.outputs);
}

// A device's fit refuses bad labels with ValueError (a model's fit raises TypeError for them).
template <typename Labels>
py::array device_fit(PyHardwareDevice& self, const InputArray& inputs, const Labels& labels) {
  return run_device_inference(self, inputs, labels_from(labels, LabelError::value_error),
                              InferenceMode::Fit);
}

}  // namespace

void add_device_inference_members(HardwareDeviceClass& cls) {
  cls.def("fit", &device_fit<float>, py::arg("inputs"), py::arg("input_labels"), kFitDoc)
      .def("fit", &device_fit<py::array>, py::arg("inputs"), py::arg("input_labels"), kFitDoc)
      .def("fit", &device_fit<py::list>, py::arg("inputs"), py::arg("input_labels") = py::list(),
           kFitDoc)
      .def(
          "forward",
          [](PyHardwareDevice& self, const InputArray& inputs) {
            return run_device_inference(self, inputs, {}, InferenceMode::Forward);
          },
          kForwardDoc)
      .def(
          "predict",
          [](PyHardwareDevice& self, const InputArray& inputs) {
            return run_device_inference(self, inputs, {}, InferenceMode::Predict);
          },
          kPredictDoc);
}

}  // namespace morla::python
