#pragma once
// The native type behind Python's Model: the engine model it owns alone and the state the
// Python side keeps between calls (metrics of the last inference).
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>  // one caster for std::vector in every file that converts labels

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "drivers/power_meter.h"
#include "core/hw_type.h"
#include "core/layer.h"
#include "core/model.h"
#include "python/py_metrics.h"

namespace morla::python {

namespace py = pybind11;

class PyModel {
 public:
  // Reads a model file (.fbz).
  explicit PyModel(const std::string& filename);
  // Builds a model from copies of the layers, with an InputData layer in front when the
  // first one is not an input layer.
  explicit PyModel(const std::vector<std::shared_ptr<Layer>>& layers);

  void save(const std::string& model_file) const;
  py::bytes to_buffer() const;

  void add(std::shared_ptr<Layer> layer, std::vector<std::shared_ptr<Layer>> inbound_layers);
  py::array forward(const py::array& inputs, uint32_t batch_size);
  py::array predict(const py::array& inputs, uint32_t batch_size);
  py::array fit(const py::array& inputs, const std::vector<int32_t>& labels, uint32_t batch_size);
  void add_classes(int32_t num_add_classes);
  float evaluate(const py::array& inputs, const py::array& labels, uint32_t num_classes,
                 uint32_t batch_size);

  std::map<hw::Type, size_t> component_count() const;
  uint32_t external_memory_size() const;

  Model& engine() const { return *model_; }
  PyMetrics& metrics() { return metrics_; }
  const std::vector<PowerMeter::PowerEvent>& power_events() const { return power_events_; }

 private:
  using Operation = std::function<std::shared_ptr<Tensor>(std::shared_ptr<Dense>)>;
  // Checks the model and the input dtype, converts the array, runs the operation and writes
  // the inference metrics.
  std::shared_ptr<Tensor> run_inference(const py::array& inputs, Operation operation);
  std::vector<int32_t> predict_labels(const std::shared_ptr<Tensor>& outputs,
                                      uint32_t num_classes) const;

  std::unique_ptr<Model> model_;
  // Events of the device's power meter after the last hardware inference that found one.
  std::vector<PowerMeter::PowerEvent> power_events_;
  PyMetrics metrics_;
};

// Labels of Model.fit: a whole number (float), an integer array or a list of integers;
// anything else raises TypeError "fit method expects integers as labels".
std::vector<int32_t> labels_from_float(float label);
std::vector<int32_t> labels_from_array(const py::array& labels);
std::vector<int32_t> labels_from_list(const py::list& labels);

}  // namespace morla::python
