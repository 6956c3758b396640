// Running inputs through the program loaded on a hardware device.
#include "python/hardware_device_inference.h"

#include <pybind11/numpy.h>
#include <pybind11/stl.h>

#include <cstring>
#include <stdexcept>

#include "devices/device_run.h"
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

[[noreturn]] void not_integer_labels() {
  throw std::invalid_argument("fit method expects integers as labels");
}

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
  PyMetrics& metrics = self.metrics();
  metrics.set("inference_frames", static_cast<int64_t>(run.frames));
  metrics.set("inference_clk", run.clock_count);
  metrics.set("inference_start", run.start_ms);
  metrics.set("inference_end", run.end_ms);
  if (auto events = device_power_events(self.engine())) self.power_events() = std::move(*events);
  return outputs_to_array(run.outputs);
}

py::array device_fit_with_scalar_label(PyHardwareDevice& self, const InputArray& inputs,
                                       float label) {
  // In range first: converting an out-of-range float to an integer is undefined.
  if (!(label >= -2147483648.0f && label < 2147483648.0f)) not_integer_labels();
  const auto integer = static_cast<int32_t>(label);
  if (static_cast<float>(integer) != label) not_integer_labels();
  return run_device_inference(self, inputs, {integer}, InferenceMode::Fit);
}

py::array device_fit_with_label_array(PyHardwareDevice& self, const InputArray& inputs,
                                      const py::array& labels) {
  static constexpr const char* kIntegerTypes[] = {"int8",  "uint8",  "int16", "uint16",
                                                  "int32", "uint32", "int64", "uint64"};
  const py::object dtype = labels.attr("dtype");
  bool integral = false;
  for (const char* name : kIntegerTypes)
    if ((integral = dtype.equal(py::str(name)))) break;
  if (!integral) not_integer_labels();
  return run_device_inference(self, inputs, labels.cast<std::vector<int32_t>>(),
                              InferenceMode::Fit);
}

py::array device_fit_with_label_list(PyHardwareDevice& self, const InputArray& inputs,
                                     const py::list& labels) {
  std::vector<int32_t> values;
  try {
    values = labels.cast<std::vector<int32_t>>();
  } catch (const py::cast_error&) {
    not_integer_labels();
  } catch (const py::error_already_set&) {
    not_integer_labels();
  }
  return run_device_inference(self, inputs, values, InferenceMode::Fit);
}

}  // namespace

void add_device_inference_members(HardwareDeviceClass& cls) {
  cls.def("fit", &device_fit_with_scalar_label, py::arg("inputs"), py::arg("input_labels"),
          kFitDoc)
      .def("fit", &device_fit_with_label_array, py::arg("inputs"), py::arg("input_labels"),
           kFitDoc)
      .def("fit", &device_fit_with_label_list, py::arg("inputs"),
           py::arg("input_labels") = py::list(), kFitDoc)
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
