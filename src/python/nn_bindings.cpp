// Reference operations (submodule nn): argument conversion around the operations of ops/.
#include <pybind11/numpy.h>

#include <algorithm>
#include <stdexcept>
#include <string>
#include <utility>

#include "core/enums.h"
#include "ops/convolution.h"
#include "ops/elementwise.h"
#include "ops/matmul.h"
#include "ops/padding.h"
#include "ops/pooling.h"
#include "ops/shift.h"
#include "ops/stateful.h"
#include "python/registration.h"
#include "python/tensor_conversion.h"

namespace morla::python {

namespace {

// Array arguments: anything NumPy can force-cast to the element type.
template <typename T>
using Arr = py::array_t<T>;
using DensePtr = std::shared_ptr<Dense>;

DensePtr i32(const py::handle& h) { return dense_from_numpy<int32_t>(h, TensorType::int32); }
DensePtr i16(const py::handle& h) { return dense_from_numpy<int16_t>(h, TensorType::int16); }
DensePtr u16(const py::handle& h) { return dense_from_numpy<uint16_t>(h, TensorType::uint16); }
DensePtr i8(const py::handle& h) { return dense_from_numpy<int8_t>(h, TensorType::int8); }
DensePtr u8(const py::handle& h) { return dense_from_numpy<uint8_t>(h, TensorType::uint8); }
DensePtr f32(const py::handle& h) { return dense_from_numpy<float>(h, TensorType::float32); }

py::array out(const DensePtr& tensor) { return tensor_to_numpy(tensor); }

// Kernel width and height: dimensions 0 and 1 of a weights array.
std::pair<uint32_t, uint32_t> kernel_size(const char* op, const Dense& weights) {
  const Shape shape = weights.shape();
  if (shape.size() < 2)
    throw std::invalid_argument(std::string(op) +
                                ": weights must have at least 2 dimensions, got " +
                                std::to_string(shape.size()) + ".");
  return {shape[0], shape[1]};
}

// Strides travel to the operations as signed 8-bit values (their low byte).
int8_t low_byte(int32_t value) { return static_cast<int8_t>(value); }

}  // namespace

void init_nn_bindings(py::module_& nn) {
  nn.def("lshift", [](const Arr<int32_t>& inputs, const Arr<uint8_t>& shifts, int32_t bits) {
    const auto in = i32(inputs);
    return out(ops::lshift(*in, *u8(shifts), bits));
  });
  nn.def("shift", [](const Arr<int32_t>& inputs, const Arr<int8_t>& shifts, int32_t bits) {
    const auto in = i32(inputs);
    return out(ops::shift(*in, *i8(shifts), bits));
  });
  nn.def("shift_out", [](const Arr<int32_t>& inputs, const Arr<int8_t>& shifts, int32_t bits) {
    const auto in = i32(inputs);
    return out(ops::shift_out(*in, *i8(shifts), bits));
  });
  nn.def("matmul",
         [](const Arr<int32_t>& a, const Arr<int32_t>& b, int32_t bits, bool transpose_b) {
           const auto lhs = i32(a);
           return out(ops::matmul(*lhs, *i32(b), bits, transpose_b));
         });
  nn.def("add", [](const Arr<int32_t>& a, const Arr<int32_t>& b, int32_t bits) {
    const auto lhs = i32(a);
    return out(ops::add(*lhs, *i32(b), bits));
  });
  nn.def("concatenate", [](const Arr<int32_t>& a, const Arr<int32_t>& b) {
    const auto first = i32(a);
    return out(ops::concatenate({first, i32(b)}));
  });
  nn.def("scale_out", [](const Arr<int32_t>& x, const py::array& scales, const Arr<int8_t>& shifts,
                         int32_t out_bits, int32_t acc_bits) {
    const auto values = i32(x);
    const auto shift = i8(shifts);
    const auto scale = py::isinstance<Arr<uint16_t>>(scales) ? u16(scales) : u8(scales);
    return out(ops::scale_out(*values, *scale, *shift, out_bits, static_cast<uint8_t>(acc_bits)));
  });
  nn.def("conv2d", [](const Arr<int32_t>& inputs, const Arr<int8_t>& weights, uint8_t stride,
                      Padding padding, int32_t bits) {
    const auto in = i32(inputs);
    const auto w = i8(weights);
    const auto [kx, ky] = kernel_size("conv2d", *w);
    const auto g = ops::compute_padding(kx, ky, stride, stride, padding, in->shape());
    return out(ops::conv2d(*in, low_byte(g.stride_x), low_byte(g.stride_y), g.pad_x_before,
                           g.pad_y_before, g.out_x, g.out_y, *w, bits));
  });
  nn.def("input_conv2d", [](const Arr<uint8_t>& inputs, const Arr<int8_t>& weights, uint8_t stride,
                            Padding padding, const Arr<uint8_t>& pad_values, uint32_t) {
    const auto in = u8(inputs);
    const auto w = i8(weights);
    const auto pads = u8(pad_values);
    const auto [kx, ky] = kernel_size("input_conv2d", *w);
    const auto flat = ops::flatten_weights(*w);
    const auto g = ops::compute_padding(kx, ky, stride, stride, padding, in->shape());
    return out(ops::input_conv2d(*in, *pads, low_byte(g.stride_x), low_byte(g.stride_y),
                                 g.pad_y_before, g.pad_y_after, g.pad_x_before, g.pad_x_after,
                                 g.out_x, g.out_y, kx, ky, *flat));
  });
  nn.def("conv2d_transpose", [](const Arr<int32_t>& inputs, const Arr<int8_t>& weights,
                                uint8_t stride) {
    const auto in = i32(inputs);
    const auto w = i8(weights);
    const auto [kx, ky] = kernel_size("conv2d_transpose", *w);
    const Shape shape = in->shape();
    if (shape.size() < 2)
      throw std::invalid_argument("conv2d_transpose: inputs must have at least 2 dimensions, got " +
                                  std::to_string(shape.size()) + ".");
    // The kernel sizes enter the padding rule as 8-bit values.
    const int32_t pad_x = ops::transpose_padding(static_cast<uint8_t>(kx), stride);
    const int32_t pad_y = ops::transpose_padding(static_cast<uint8_t>(ky), stride);
    return out(ops::conv2d_transpose(*in, *w, stride, pad_x, pad_y,
                                     ops::transpose_output_size(shape[0], stride),
                                     ops::transpose_output_size(shape[1], stride)));
  });
  nn.def("dequantize", [](const Arr<int32_t>& inputs, const Arr<float>& scales) {
    const auto in = i32(inputs);
    return out(ops::dequantize(*in, *f32(scales)));
  });
  nn.def("depthwise_conv2d",
         [](const Arr<int32_t>& inputs, const Arr<int8_t>& weights, uint8_t stride) {
           const auto in = i32(inputs);
           const auto w = i8(weights);
           const auto [kx, ky] = kernel_size("depthwise_conv2d", *w);
           const auto g = ops::compute_padding(kx, ky, stride, stride, Padding::Same, in->shape());
           return out(ops::depthwise_conv2d(*in, low_byte(g.stride_x), low_byte(g.stride_y),
                                            g.pad_x_before, g.pad_y_before, g.out_x, g.out_y, *w));
         });
  nn.def("relu_activation", [](const Arr<int32_t>& inputs, const Arr<int32_t>& max_values) {
    const auto in = i32(inputs);
    return out(ops::relu_activation(*in, *i32(max_values)));
  });
  nn.def("look_up", [](const Arr<int32_t>& lut, const Arr<int32_t>& indices) {
    const auto table = i32(lut);
    return out(ops::look_up(*table, *i32(indices)));
  });
  nn.def("global_average_pooling", [](const Arr<int32_t>& inputs, int32_t bits) {
    return out(ops::global_average_pooling(i32(inputs), bits));
  });
  nn.def("max_pooling", [](const Arr<int32_t>& inputs, uint8_t pool_x, int8_t pool_y,
                           int8_t stride_x, uint8_t stride_y, Padding padding, int32_t bits) {
    const auto in = i32(inputs);
    const auto g = ops::compute_padding(pool_x, static_cast<uint32_t>(int32_t{pool_y}), stride_x,
                                        stride_y, padding, in->shape());
    return out(ops::max_pooling(in, static_cast<int8_t>(pool_x), pool_y, false, g.out_x, g.out_y,
                                low_byte(g.stride_x), low_byte(g.stride_y), g.pad_y_before,
                                g.pad_y_after, g.pad_x_before, g.pad_x_after, bits));
  });
  nn.def("fifo_op", [](const Arr<int8_t>& fifo, const Arr<int8_t>& frame) {
    const auto queue = i8(fifo);
    ops::fifo_op(*queue, *i8(frame));
    return out(queue);
  });
  nn.def("depth_conv_like_op",
         [](const Arr<int32_t>& inputs, const Arr<int8_t>& weights, int32_t bits) {
           const auto in = i32(inputs);
           return out(ops::depth_conv_like_op(*in, *i8(weights), bits));
         });
  nn.def("stateful_main_op",
         [](const Arr<int32_t>& x, const Arr<int8_t>& shifts, const Arr<int32_t>& re,
            const Arr<int32_t>& im, const Arr<int16_t>& a, const Arr<int16_t>& b, int32_t bits,
            int32_t out_bits) {
           const auto tx = i32(x), tre = i32(re), tim = i32(im), ta = i16(a), tb = i16(b);
           const auto tshifts = i8(shifts);
           auto [r, i] = ops::stateful_main_op(*tx, *tshifts, *tre, *tim, *ta, *tb, bits, out_bits);
           py::array first = out(r);
           return std::pair<py::array, py::array>(std::move(first), out(i));
         });
  nn.def("subsampling_op", [](const Arr<int32_t>& x, uint8_t stride) {
    return out(ops::subsampling_op(*i32(x), stride));
  });
  nn.def("motepostprocessing_op", [](const Arr<int16_t>& p, const Arr<int16_t>& q,
                                     const Arr<uint16_t>& thresholds, int32_t bits, bool raw) {
    const auto tp = i16(p), tq = i16(q);
    return out(ops::motepostprocessing_op(*tp, *tq, *u16(thresholds), bits, raw));
  });
}

}  // namespace morla::python
