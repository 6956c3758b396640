// Model: the class as Python sees it, members in registration order.
#include <pybind11/numpy.h>
#include <pybind11/stl.h>

#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/device.h"
#include "engine_api/layer.h"
#include "engine_api/layer_params.h"
#include "engine_api/sequence.h"
#include "core/shared_bytes.h"
#include "mapping/map_constraints.h"
#include "model/model_session.h"
#include "python/label_conversion.h"
#include "python/registration.h"
#include "python/tensor_conversion.h"

namespace morla::python {

namespace py = pybind11;

namespace {

constexpr const char* kModelDoc = R"(
        An Morla neural ``Model``, represented as a hierarchy of layers.

        The ``Model`` class is the main interface to Morla and allows:

        - to create an empty ``Model`` to which you can add layers programmatically using
          the sequential API,
        - to reload a full ``Model`` from a serialized file or a memory buffer created by
          ``save`` or ``to_buffer``,
        - to create a new ``Model`` from a list of layers taken from an existing ``Model``.

        ``morla.Model`` objects are composed of ``morla.Layer`` objects.

        The ``Model`` input and output shapes have 4 dimensions, the first one being the
        number of samples.

        The ``Model`` accepts only uint8 tensors as inputs, whose values are encoded using
        either 1, 2, 4 or 8-bit precision (i.e. whose max value is 1, 3, 15 or 255
        respectively).

        If the inputs are 8-bit, then the first layer of the ``Model`` must be a
        convolutional layer with either 1 or 3 input channels.

        The ``Model`` output is an int8, uint8 or int32 numpy array if the last layer has
        an activation, and an int32 numpy array of potentials otherwise.

        Args:
            filename (str, optional): path to the serialized ``Model``.
                If None, an empty sequential model will be created, or filled
                with the layers in the layers parameter.
            layers (:obj:`list`, optional): list of layers that will be copied
                to the new model. If the list does not start with an input layer,
                it will be added automatically.
    )";

constexpr const char* kInitFileDoc = R"(
        Reload a full ``Model`` from a serialized file.

        Args:
            filename (str): path to the serialized Model.
                If None, an empty sequential model will be created, or filled
                with the layers in the layers parameter.
    )";

constexpr const char* kInitLayersDoc = R"(
        Create an empty ``Model`` or from a list of layers taken from an existing ``Model``

        Args:
            layers (:obj:`list`, optional): list of layers that will be copied
                to the new model. If the list does not start with an input layer,
                it will be added automatically.
    )";

constexpr const char* kAddDoc = R"(
        Add a layer to the current model.

        A list of inbound layers can optionally be specified.
        These layers must already be included in the model.
        if no inbound layer is specified, and the layer is not the first layer
        in the model, the last included layer will be used as inbound layer.

        :param layer: layer instance to be added to the model
        :type layer: one of the available layers
        :param inbound_layers: an optional list of inbound layers
        :type inbound_layers: a list of `Layer`
    )";

constexpr const char* kAddClassesDoc = R"(
        Adds classes to the last layer of the model.

        A model with a compiled last layer is ready to learn using the Morla
        built-in learning algorithm. This function allows to add new classes
        (i.e. new neurons) to the last layer, keeping the previously learned
        neurons.

        Args:
            num_add_classes (int): number of classes to add to the last layer

        Raises:
            RuntimeError: if the last layer is not compiled
    )";

constexpr const char* kPopLayerDoc = R"(
        Remove the last layer of the current model.
           )";

constexpr const char* kCompileDoc = R"(
      Select and prepare the optimizer for learning of the last layer.

      Args:
          optimizer(:obj:`morla.LearningParams`): the optimizer used for learning
    )";

constexpr const char* kFitFloatDoc = R"(
Trains a set of images or events through the model.

Trains the model with the specified input tensor (numpy array).

Args:
    inputs (:obj:`numpy.ndarray`): a (n, x, y, c) uint8 tensor
    input_labels (float, optional): input label
    batch_size (int, optional): maximum number of inputs that should be
        processed at a time.

Returns:
    :obj:`numpy.ndarray` : a (n, out_x, out_y, out_c) int8 or uint8 or int32
    tensor.

Raises:
    TypeError: if the input is not a numpy.ndarray.
    ValueError: if the input doesn't match the required shape,
        format, etc.
    )";

constexpr const char* kFitArrayDoc = R"(
Trains a set of images or events through the model.

Trains the model with the specified input tensor (numpy array).

Args:
    inputs (:obj:`numpy.ndarray`): a (n, x, y, c) uint8 tensor
    input_labels (:obj:`numpy.ndarray`, optional): input labels.
        Must have one label per input, or a single label for all inputs.
        If a label exceeds the defined number of classes, the input will
        be discarded. (Default value = None).
    batch_size (int, optional): maximum number of inputs that should be
        processed at a time.

Returns:
    :obj:`numpy.ndarray` : a (n, out_x, out_y, out_c) int8 or int8 or int32
    tensor.

Raises:
    TypeError: if the input is not a numpy.ndarray.
    ValueError: if the input doesn't match the required shape,
        format, etc.
    )";

constexpr const char* kFitListDoc = R"(
Trains a set of images or events through the model.

Trains the model with the specified input tensor (numpy array).

Args:
    inputs (:obj:`numpy.ndarray`): a (n, x, y, c) uint8 tensor
    input_labels (list(int), optional): input labels.
        Must have one label per input, or a single label for all inputs.
        If a label exceeds the defined number of classes, the input will
        be discarded. (Default value = None).
    batch_size (int, optional): maximum number of inputs that should be
        processed at a time.

Returns:
    :obj:`numpy.ndarray` : a (n, out_x, out_y, out_c) int8 or int8 or int32
    tensor.

Raises:
    TypeError: if the input is not a numpy.ndarray.
    ValueError: if the input doesn't match the required shape,
        format, etc.
    )";

constexpr const char* kForwardDoc = R"(
        Forwards a set of inputs through the model.

        Args:
            inputs (:obj:`numpy.ndarray`): a (n, x, y, c) uint8 tensor
            batch_size (int, optional): maximum number of inputs that should be
                processed at a time.

        Returns:
            :obj:`numpy.ndarray`: a (n, out_x, out_y, out_c) uint8, int8 or
            int32 tensor.

        Raises:
            TypeError: if the input is not a numpy.ndarray.
            ValueError: if the input doesn't match the required shape,
                format, etc.
    )";

constexpr const char* kPredictDoc = R"(
        Predicts a set of inputs through the model.

        It applies ONLY to models without an activation on the last layer.

        Args:
            inputs (:obj:`numpy.ndarray`): a (n, x, y, c) uint8 tensor
            batch_size (int, optional): maximum number of inputs that should be
                processed at a time.

        Returns:
            :obj:`numpy.ndarray`: a (n, w, h, c) float tensor.

        Raises:
            TypeError: if the input is not a numpy.ndarray.
            RuntimeError: if the model last layer has an activation.
            ValueError: if the input doesn't match the required shape,
                format, etc.
    )";

constexpr const char* kGetLayerByNameDoc = R"(
      Get a reference to a specific layer.

      This method allows a deeper introspection of the model by providing
      access to the underlying layers.

      :param layer_name: name of the layer to retrieve
      :type layer_name: str

      :return: a ``Layer``
    )";

constexpr const char* kGetLayerByIndexDoc = R"(
      Get a reference to a specific layer.

      This method allows a deeper introspection of the model by providing
      access to the underlying layers.

      :param layer_index: index of the layer to retrieve
      :type layer_index: int

      :return: a ``Layer``
    )";

constexpr const char* kEvaluateDoc = R"(
      Returns the model class accuracy.

      Forwards an input tensor through the model and compute accuracy based on labels.
      If the number of output neurons is greater than the number of classes, the neurons
      are automatically assigned to a class by dividing their id by the number of classes.

      Note that the evaluation is based on the activation values of the last layer: for most
      use cases, you may want to disable activations for that layer (ie setting
      'activation=False') to get a better accuracy.

      Args:
          inputs (:obj:`numpy.ndarray`): a (n, x, y, c) uint8, int8 or int16 tensor
          labels (:obj:`numpy.ndarray`): a (n) tensor of labels for the inputs
          num_classes (int, optional): optional parameter (defaults to the number of
              neurons in the last layer).
          batch_size (int, optional): maximum number of inputs that should be
              processed at a time.

      Returns:
          float: the accuracy of the model to predict the labels based on the inputs.
    )";

constexpr const char* kSaveDoc = R"(
           Saves all the model configuration (all layers and weights) to a
           file on disk.

           :param model_file: full path of the serialized model (.fbz file).
           :type model_file: str
           )";

constexpr const char* kToBufferDoc = R"(
           Serializes all the model configuration (all layers and weights) to a
           bytes buffer.
          )";

std::vector<uint32_t> dims_of(const Shape& shape) { return {shape.begin(), shape.end()}; }

// The optimizer object itself, shared with Python (taken by reference, so None matches no
// overload): its Python instance holds it by shared pointer.
std::shared_ptr<LearningParams> shared_optimizer(const LearningParams& optimizer) {
  const py::object instance = py::cast(&optimizer, py::return_value_policy::reference);
  auto shared = instance.cast<std::shared_ptr<LearningParams>>();
  return shared ? shared : LearningParams::clone(&optimizer);
}

// The inputs of an inference, converted by their dtype when the model asks for them.
ModelSession::Inputs inputs_of(const py::array& inputs) {
  return [&inputs]() -> std::shared_ptr<Dense> {
    const py::object dtype = inputs.attr("dtype");
    if (dtype.equal(py::str("int8"))) return dense_from_numpy<int8_t>(inputs, TensorType::int8);
    if (dtype.equal(py::str("uint8"))) return dense_from_numpy<uint8_t>(inputs, TensorType::uint8);
    if (dtype.equal(py::str("int16"))) return dense_from_numpy<int16_t>(inputs, TensorType::int16);
    if (dtype.equal(py::str("float32")))
      return dense_from_numpy<float>(inputs, TensorType::float32);
    throw std::invalid_argument("Input dtype should be int8, uint8, int16 or float32.");
  };
}

// Labels of evaluate: a one-dimensional int32 array, one label per input.
std::vector<int32_t> evaluation_labels(const py::array& inputs, const py::array& labels) {
  if (labels.ndim() != 1) throw std::invalid_argument("Labels must be 1-D.");
  if (inputs.ndim() < 1 || inputs.shape(0) != labels.shape(0))
    throw std::invalid_argument("Inputs and labels must have the same size.");
  if (!py::object(labels.attr("dtype")).equal(py::str("int32")))
    throw std::invalid_argument("Labels must be int32.");
  const auto values = labels.unchecked<int32_t, 1>();
  std::vector<int32_t> out(static_cast<size_t>(values.shape(0)));
  for (py::ssize_t i = 0; i < values.shape(0); ++i) out[static_cast<size_t>(i)] = values(i);
  return out;
}

template <typename Labels>
py::array fit(ModelSession& self, const py::array& inputs, const Labels& labels,
              uint32_t batch_size) {
  const auto values = labels_from(labels, LabelError::type_error);
  return tensor_to_numpy(self.fit(inputs_of(inputs), values, batch_size));
}

}  // namespace

void init_model_bindings(py::module_& m) {
  py::class_<ModelSession>(m, "Model", kModelDoc)
      .def(py::init(&ModelSession::from_file), py::arg("filename"), kInitFileDoc)
      .def(py::init(&ModelSession::from_layers), py::arg("layers") = py::list(), kInitLayersDoc)
      .def(
          "add",
          [](ModelSession& self, std::shared_ptr<Layer> layer,
             std::vector<std::shared_ptr<Layer>> inbound_layers) {
            self.model().add(std::move(layer), std::move(inbound_layers));
          },
          py::arg("layer"), py::arg("inbound_layers") = py::list(), kAddDoc)
      .def("add_classes", &ModelSession::add_classes, py::arg("num_add_classes"), kAddClassesDoc)
      .def(
          "_map",
          [](ModelSession& self, std::shared_ptr<Device> device, bool hw_only,
             std::shared_ptr<MapConstraints> constraints) {
            self.model().map(std::move(device), hw_only, std::move(constraints));
          },
          py::arg("device"), py::arg("hw_only") = false, py::arg("constraints") = py::none())
      .def(
          "pop_layer", [](ModelSession& self) { self.model().pop_layer(); }, kPopLayerDoc)
      .def(
          "compile",
          [](ModelSession& self, const LearningParams& optimizer) {
            self.model().compile(shared_optimizer(optimizer));
          },
          py::arg("optimizer"), kCompileDoc)
      .def("fit", &fit<float>, py::arg("inputs"), py::arg("input_labels"),
           py::arg("batch_size") = 0u, kFitFloatDoc)
      .def("fit", &fit<py::array>, py::arg("inputs"), py::arg("input_labels"),
           py::arg("batch_size") = 0u, kFitArrayDoc)
      .def("fit", &fit<py::list>, py::arg("inputs"), py::arg("input_labels") = py::list(),
           py::arg("batch_size") = 0u, kFitListDoc)
      .def(
          "forward",
          [](ModelSession& self, const py::array& inputs, uint32_t batch_size) {
            return tensor_to_numpy(self.forward(inputs_of(inputs), batch_size));
          },
          py::arg("inputs"), py::arg("batch_size") = 0u, kForwardDoc)
      .def(
          "predict",
          [](ModelSession& self, const py::array& inputs, uint32_t batch_size) {
            return tensor_to_numpy(self.predict(inputs_of(inputs), batch_size));
          },
          py::arg("inputs"), py::arg("batch_size") = 0u, kPredictDoc)
      .def(
          "get_layer",
          [](const ModelSession& self, const std::string& layer_name) {
            return self.model().get_layer(layer_name);
          },
          py::arg("layer_name"), kGetLayerByNameDoc)
      .def(
          "get_layer",
          [](const ModelSession& self, size_t layer_index) {
            return self.model().get_layer(layer_index);
          },
          py::arg("layer_index"), kGetLayerByIndexDoc)
      .def_property_readonly(
          "sequences", [](const ModelSession& self) { return self.model().sequences(); },
          "The list of layer sequences in the Model")
      .def_property_readonly(
          "layers", [](const ModelSession& self) { return self.model().layers(); },
          "Get a list of layers in current model.")
      .def_property_readonly(
          "learning", [](const ModelSession& self) { return self.model().learning(); },
          "The learning parameters set.")
      .def_property_readonly(
          "input_shape",
          [](const ModelSession& self) { return dims_of(self.model().input_shape()); },
          "The model input dimensions.")
      .def_property_readonly(
          "output_shape",
          [](const ModelSession& self) { return dims_of(self.model().output_shape()); },
          "The model output dimensions.")
      .def_property_readonly(
          "metrics", [](ModelSession& self) { return &self.metrics(); },
          py::return_value_policy::reference_internal, "The model metrics.")
      .def_property_readonly(
          "ip_version", [](const ModelSession& self) { return self.model().ip_version(); },
          "The IP version this model is compatible with.")
      .def_property_readonly(
          "device", [](const ModelSession& self) { return self.model().device(); },
          "The Device the Model is mapped to.")
      .def_property_readonly(
          "layer_count", [](const ModelSession& self) { return self.model().layer_count(); },
          "The number of layers.")
      .def_property_readonly("component_count", &ModelSession::component_count,
                             "A dictionary with the number of components per type used in the "
                             "model.")
      .def_property_readonly("external_memory_size", &ModelSession::external_memory_size,
                             "Returns model external memory usage in Bytes.")
      .def_property_readonly(
          "macs", [](const ModelSession& self) { return self.model().macs(); },
          "Returns model number of multiply-accumulate operations.")
      .def(
          "evaluate",
          [](ModelSession& self, const py::array& inputs, const py::array& labels,
             uint32_t num_classes, uint32_t batch_size) {
            return self.evaluate(inputs_of(inputs), evaluation_labels(inputs, labels), num_classes,
                                 batch_size);
          },
          py::arg("inputs"), py::arg("labels"), py::arg("num_classes") = 0u,
          py::arg("batch_size") = 0u, kEvaluateDoc)
      .def("save", &ModelSession::save, py::arg("model_file"), kSaveDoc)
      .def(
          "to_buffer",
          [](const ModelSession& self) {
            const SharedBytes serialized = self.model().serialize();
            return py::bytes(reinterpret_cast<const char*>(serialized.data()), serialized.size());
          },
          kToBufferDoc)
      .def_property_readonly(
          "power_events",
          [](const ModelSession& self) {
            py::list events;
            for (const auto& event : self.power_events()) events.append(py::cast(event));
            return events;
          },
          "Copy of power events logged after inference");
}

}  // namespace morla::python
