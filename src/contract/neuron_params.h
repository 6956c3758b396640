#pragma once
// Per-neuron output parameters packed two 32-bit words per neuron, for layers without (and
// with) a look-up-table activation. A value outside its field panics.
#include <cstdint>
#include <vector>

namespace morla {

class Tensor;

// int8 output_shift, uint8 output_scales, optional uint8 max_value_shift and max_value
// (null counts as 0), uint8 bias_shift, int8 bias (its element count is the neuron count).
std::vector<uint32_t> pack_neuron_params(const Tensor& output_shift, const Tensor& output_scales,
                                         const Tensor* max_value_shift, const Tensor* max_value,
                                         const Tensor& bias_shift, const Tensor& bias);
// uint8 output_scales, int8 bias (neuron count), uint8 bias_shift, int8 output_shift,
// int8 activation_shift, uint8 activation_scales.
std::vector<uint32_t> pack_neuron_params_narrow(const Tensor& output_scales, const Tensor& bias,
                                                const Tensor& bias_shift,
                                                const Tensor& output_shift,
                                                const Tensor& activation_shift,
                                                const Tensor& activation_scales);

}  // namespace morla
