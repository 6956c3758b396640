#pragma once
// Enumerations shared between the engine and the module.
#include <cstdint>

namespace morla {

enum class LayerType : int32_t {
  Unknown = 0,
  InputData = 1,
  InputConvolutional = 2,
  FullyConnected = 3,
  Convolutional = 4,
  SeparableConvolutional = 5,
  Add = 6,
  Concatenate = 12,
  Conv2D = 14,
  InputConv2D = 15,
  DepthwiseConv2D = 16,
  Conv2DTranspose = 17,
  Dequantizer = 19,
  DepthwiseConv2DTranspose = 20,
  BufferTempConv = 21,
  DepthwiseBufferTempConv = 22,
  Dense1D = 25,
  StatefulRecurrent = 26,
  Quantizer = 27,
  MotePostProcessing = 28,
};

enum class Padding : int32_t { Valid = 0, Same = 1, SameUpper = 2 };
enum class PoolType : int32_t { NoPooling = 0, Max = 1, Average = 2 };
enum class ActivationType : int32_t { NoActivation = 0, ReLU = 1, LUT = 2 };
// Learning kinds of the engine; 0 is the on-chip unsupervised learning.
enum class LearningType : int32_t { MorlaUnsupervised = 0 };
// Kind of back end a sequence runs on.
enum class BackendType : int32_t { Software = 0, Hardware = 1, Hybrid = 2 };

}  // namespace morla
