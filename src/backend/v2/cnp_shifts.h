#pragma once
// The per-filter shift and scale words of a v2 CNP or TNP-B: two words per filter.
#include <cstdint>
#include <memory>
#include <vector>

#include "engine_api/layer.h"
#include "engine_api/tensor.h"

namespace morla::v2 {

// The per-output-channel variables of a layer; any may be null.
struct NeuronTensors {
  const Tensor* max_value = nullptr;          // uint8
  const Tensor* max_value_shift = nullptr;    // uint8
  const Tensor* activation_shift = nullptr;   // int8
  const Tensor* activation_scales = nullptr;  // uint8
  const Tensor* output_shift = nullptr;       // int8
  const Tensor* bias_shift = nullptr;         // uint8
  const Tensor* bias = nullptr;               // int8
  const Tensor* output_scales = nullptr;      // uint8
};

// A layer's per-filter variables, held while the pointers are used; absent ones are null.
struct LayerNeuronTensors {
  std::vector<std::shared_ptr<Dense>> held;
  NeuronTensors tensors;
};
LayerNeuronTensors read_neuron_tensors(const Layer& layer);
// std::runtime_error naming the layer and the variable unless every present tensor holds
// elements first .. first + count - 1.
void require_neuron_range(const Layer& layer, const NeuronTensors& tensors, uint32_t first,
                          uint32_t count);

// Words 2i and 2i + 1 for filter first + i. Every present tensor must hold at least
// first + filters elements (callers check that with the layer's name).
std::vector<uint32_t> record_cnp_shifts(const NeuronTensors& tensors, uint32_t first,
                                        uint32_t filters);

}  // namespace morla::v2
