// The layer vocabulary: LayerType, Padding, PoolType, ActivationType.
#include "core/enums.h"
#include "python/registration.h"

namespace morla::python {

void init_layer_enums(py::module_& m) {
  py::enum_<LayerType>(m, "LayerType", "The layer type")
      .value("Unknown", LayerType::Unknown)
      .value("InputData", LayerType::InputData)
      .value("InputConvolutional", LayerType::InputConvolutional)
      .value("FullyConnected", LayerType::FullyConnected)
      .value("Convolutional", LayerType::Convolutional)
      .value("SeparableConvolutional", LayerType::SeparableConvolutional)
      .value("Add", LayerType::Add)
      .value("Concatenate", LayerType::Concatenate)
      .value("Conv2D", LayerType::Conv2D)
      .value("InputConv2D", LayerType::InputConv2D)
      .value("DepthwiseConv2D", LayerType::DepthwiseConv2D)
      .value("Conv2DTranspose", LayerType::Conv2DTranspose)
      .value("Dequantizer", LayerType::Dequantizer)
      .value("DepthwiseConv2DTranspose", LayerType::DepthwiseConv2DTranspose)
      .value("BufferTempConv", LayerType::BufferTempConv)
      .value("DepthwiseBufferTempConv", LayerType::DepthwiseBufferTempConv)
      .value("StatefulRecurrent", LayerType::StatefulRecurrent)
      .value("Dense1D", LayerType::Dense1D)
      .value("Quantizer", LayerType::Quantizer)
      .value("MotePostProcessing", LayerType::MotePostProcessing)
      .export_values();

  py::enum_<Padding>(m, "Padding",
                     "Sets the effective padding of the input for convolution, thereby "
                     "determining the output dimensions. Naming conventions are the same as "
                     "Keras/Tensorflow.")
      .value("Valid", Padding::Valid, "No padding")
      .value("Same", Padding::Same,
             "Padded so that output size is input size divided by the stride. It always "
             "produces a bottom right padding.")
      .value("SameUpper", Padding::SameUpper,
             "Padded so that output size is input size divided by the stride. It always "
             "produces a top left padding.")
      .export_values();

  py::enum_<PoolType>(m, "PoolType", "The pooling type")
      .value("NoPooling", PoolType::NoPooling, "No pooling applied")
      .value("Max", PoolType::Max, "Maximum pixel value is selected")
      .value("Average", PoolType::Average, "Average pixel value is selected")
      .export_values();

  py::enum_<ActivationType>(m, "ActivationType", "The activation type")
      .value("NoActivation", ActivationType::NoActivation, "No activation is applied")
      .value("ReLU", ActivationType::ReLU, "ReLU activation is selected")
      .value("LUT", ActivationType::LUT, "LUT activation is selected")
      .export_values();
}

}  // namespace morla::python
