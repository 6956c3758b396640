#include "ops/convolution.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <vector>

#include "core/platform.h"
#include "ops/blocked_conv.h"
#include "ops/clip.h"
#include "ops/kernel_path.h"
#include "ops/kernels.h"
#include "ops/padding.h"
#include "ops/tensor_access.h"

namespace morla::ops {

namespace {

using detail::LogicalDims;

struct ImageDims {
  uint32_t x, y, channels;
};

// A result made without the zero fill, zeroed before the portable loops add into it (the
// vector loops write every element themselves).
void zero(Dense& result) {
  int32_t* out = detail::mutable_elements<int32_t>(result);
  std::fill_n(out, detail::element_count(result), 0);
}

ImageDims image_dims(const char* op, const char* name, const Dense& tensor) {
  detail::require_rank(op, name, tensor, 3);
  const Shape shape = tensor.shape();
  return {shape[0], shape[1], shape[2]};
}

void require_strides(const char* op, int64_t stride_x, int64_t stride_y) {
  detail::require_positive(op, "stride_x", stride_x);
  detail::require_positive(op, "stride_y", stride_y);
}

// Convolution weights (Kx, Ky, C, F) through the tensor's own strides, with the input
// channels checked against the input.
LogicalDims conv_weights(const char* op, const Dense& weights, uint32_t channels) {
  LogicalDims w = detail::logical_dims(weights);
  detail::require_rank(op, "weights", w.dims.size(), 4);
  detail::require_equal(op, "weights input channels", w.dims[2], "inputs channels", channels);
  return w;
}

// Depthwise weights (Kx, Ky, C) or (Kx, Ky, C, 1).
LogicalDims depthwise_weights(const char* op, LogicalDims w, uint32_t channels) {
  if (w.dims.size() == 4 && w.dims[3] == 1) {
    w.dims.pop_back();
    w.strides.pop_back();
  }
  detail::require_rank(op, "weights (Kx, Ky, C)", w.dims.size(), 3);
  detail::require_equal(op, "weights channels", w.dims[2], "inputs channels", channels);
  return w;
}

// The kernel as an int32 matrix (Kx*Ky*C, F), each tap (t, u) taken from (Kx-1-t, Ky-1-u)
// when `rotate` is set. F is 1 for depthwise weights.
std::vector<int32_t> kernel_matrix(const int8_t* w, const LogicalDims& dims, bool rotate) {
  const size_t kx = dims.dims[0], ky = dims.dims[1], channels = dims.dims[2];
  const size_t filters = dims.dims.size() > 3 ? dims.dims[3] : 1;
  const size_t filter_stride = dims.dims.size() > 3 ? dims.strides[3] : 0;
  std::vector<int32_t> matrix(kx * ky * channels * filters);
  int32_t* out = matrix.data();
  for (size_t t = 0; t < kx; ++t)
    for (size_t u = 0; u < ky; ++u) {
      const size_t a = rotate ? kx - 1 - t : t, b = rotate ? ky - 1 - u : u;
      for (size_t c = 0; c < channels; ++c) {
        const int8_t* src = w + a * dims.strides[0] + b * dims.strides[1] + c * dims.strides[2];
        if (filter_stride == 1)
          out = std::copy_n(src, filters, out);
        else
          for (size_t f = 0; f < filters; ++f) *out++ = src[f * filter_stride];
      }
    }
  return matrix;
}

template <typename T>
std::shared_ptr<Dense> conv2d_impl(const char* op, const Dense& inputs, int8_t stride_x,
                                   int8_t stride_y, int32_t pad_x, int32_t pad_y, uint32_t out_x,
                                   uint32_t out_y, const Dense& weights, const int32_t* bits) {
  const T* in = detail::elements<T>(inputs);
  const int8_t* w = detail::elements<int8_t>(weights);
  const ImageDims dims = image_dims(op, "inputs", inputs);
  const LogicalDims wd = conv_weights(op, weights, dims.channels);
  require_strides(op, stride_x, stride_y);
  auto result = detail::make_dense_unfilled(TensorType::int32, {out_x, out_y, wd.dims[3]});
  int32_t* out = detail::mutable_elements<int32_t>(*result);

  const std::vector<int32_t> kernel = kernel_matrix(w, wd, true);
  const kernels::Image<T> image{in, dims.x, dims.y, dims.channels};
  const size_t row_size = size_t{out_y} * wd.dims[3];
  const kernels::Correlation shape{
      wd.dims[0], wd.dims[1], static_cast<size_t>(stride_x), static_cast<size_t>(stride_y), out_x,
      out_y,      wd.dims[3]};
  auto* sums = reinterpret_cast<uint32_t*>(out);
  if (kernels::correlate_blocked(image, {1, pad_x, pad_y, nullptr}, shape, kernel.data(),
                                 {sums, row_size, wd.dims[3], bits}))
    return result;
  zero(*result);
  kernels::CorrelationRow row{kernel.data(), wd.dims[0], wd.dims[1], wd.dims[3], 0,
                              stride_y,      pad_y,      out_y,      nullptr};
  for (size_t ox = 0; ox < out_x; ++ox) {
    row.x0 = static_cast<int64_t>(ox) * stride_x - pad_x;
    kernels::correlate_row(image, row, sums + ox * row_size);
  }
  // A width of 32 bits or more clips no sum.
  const ClipRange range = clip_range(bits ? *bits : 32);
  if (range.low > INT32_MIN || range.high < INT32_MAX) {
    const size_t count = row_size * out_x;
    for (size_t i = 0; i < count; ++i) out[i] = static_cast<int32_t>(clip(out[i], range));
  }
  return result;
}

// The outputs o in [begin, end) whose windows o * stride - pad + [0, kernel) lie inside
// [0, size).
struct Span {
  size_t begin, end;
};

Span inside(int64_t size, int64_t kernel, int64_t stride, int64_t pad, int64_t out) {
  const int64_t begin = std::min(out, pad > 0 ? (pad + stride - 1) / stride : 0);
  const int64_t last = size + pad - kernel;  // the largest o * stride
  const int64_t end = last < 0 ? 0 : std::min(out, last / stride + 1);
  return {static_cast<size_t>(begin), static_cast<size_t>(std::max(begin, end))};
}

// Depthwise over an int32 input without a padded copy: the vector loops read the input
// itself for the outputs whose windows lie inside it, the portable rows do the border.
// False, with `out` untouched, where the loops cannot read the input as it lies.
bool depthwise_in_place(const kernels::Image<int32_t>& image, const kernels::Correlation& shape,
                        int32_t pad_x, int32_t pad_y, const int32_t* kernel, uint32_t* out) {
  const auto sx = static_cast<int64_t>(shape.stride_x), sy = static_cast<int64_t>(shape.stride_y);
  const Span xs = inside(image.x, shape.kx, sx, pad_x, shape.out_x);
  const Span ys = inside(image.y, shape.ky, sy, pad_y, shape.out_y);
  if (xs.begin == xs.end || ys.begin == ys.end) return false;
  const size_t channels = image.channels, row_size = shape.out_y * channels;
  const int32_t* origin =
      image.data + ((xs.begin * sx - pad_x) * image.y + (ys.begin * sy - pad_y)) * channels;
  kernels::Correlation middle = shape;
  middle.out_x = xs.end - xs.begin;
  middle.out_y = ys.end - ys.begin;
  uint32_t* first = out + xs.begin * row_size + ys.begin * channels;
  if (!kernels::depthwise_inside(origin, image.y, channels, middle, kernel,
                                 {first, row_size, channels, nullptr}))
    return false;
  kernels::CorrelationRow row{kernel, shape.kx, shape.ky, 1, 0, sy, 0, 0, nullptr};
  auto border = [&](size_t ox, size_t oy0, size_t oy1) {
    if (oy0 >= oy1) return;
    row.x0 = static_cast<int64_t>(ox) * sx - pad_x;
    row.pad_y = pad_y - static_cast<int64_t>(oy0) * sy;
    row.out_y = oy1 - oy0;
    kernels::depthwise_row(image, row, out + ox * row_size + oy0 * channels);
  };
  for (size_t ox = 0; ox < shape.out_x; ++ox) {
    if (ox < xs.begin || ox >= xs.end) {
      border(ox, 0, shape.out_y);
    } else {
      border(ox, 0, ys.begin);
      border(ox, ys.end, shape.out_y);
    }
  }
  return true;
}

template <typename T>
std::shared_ptr<Dense> depthwise_impl(const Dense& inputs, int8_t stride_x, int8_t stride_y,
                                      int32_t pad_x, int32_t pad_y, uint32_t out_x, uint32_t out_y,
                                      const Dense& weights) {
  static constexpr const char* op = "depthwise_conv2d";
  const T* in = detail::elements<T>(inputs);
  const int8_t* w = detail::elements<int8_t>(weights);
  const ImageDims dims = image_dims(op, "inputs", inputs);
  const LogicalDims wd = depthwise_weights(op, detail::logical_dims(weights), dims.channels);
  require_strides(op, stride_x, stride_y);
  auto result = detail::make_dense(TensorType::int32, {out_x, out_y, dims.channels});
  auto* sums = reinterpret_cast<uint32_t*>(detail::mutable_elements<int32_t>(*result));

  const std::vector<int32_t> kernel = kernel_matrix(w, wd, true);
  const kernels::Image<T> image{in, dims.x, dims.y, dims.channels};
  const kernels::Correlation shape{
      wd.dims[0], wd.dims[1],   static_cast<size_t>(stride_x), static_cast<size_t>(stride_y), out_x,
      out_y,      dims.channels};
  const size_t row_size = size_t{out_y} * dims.channels;
  if constexpr (std::is_same_v<T, int32_t>) {
    if (depthwise_in_place(image, shape, pad_x, pad_y, kernel.data(), sums)) return result;
  }
  if (kernels::depthwise_blocked(image, {1, pad_x, pad_y, nullptr}, shape, kernel.data(),
                                 {sums, row_size, dims.channels, nullptr}))
    return result;
  kernels::CorrelationRow row{kernel.data(), wd.dims[0], wd.dims[1], 1,      0,
                              stride_y,      pad_y,      out_y,      nullptr};
  for (size_t ox = 0; ox < out_x; ++ox) {
    row.x0 = static_cast<int64_t>(ox) * stride_x - pad_x;
    kernels::depthwise_row(image, row, sums + ox * row_size);
  }
  return result;
}

int64_t floor_div(int64_t a, int64_t b) { return a >= 0 ? a / b : -((-a + b - 1) / b); }

// One residue r of a transposed convolution along one dimension: the outputs o with
// (o + pad) mod stride = r are o = q * stride + r - pad, and only kernel rows r, r + stride,
// ... reach them, row r + m * stride from input q - m. Over those outputs the scatter is a
// stride-1 correlation of the input with `taps` kernel rows, rotated, the input sitting at
// `offset` on its canvas.
struct TransposePhase {
  size_t taps, count;  // kernel rows and outputs of the residue (either may be 0)
  int64_t first, offset;
};

TransposePhase transpose_phase(int64_t kernel, int64_t stride, int64_t pad, int64_t out,
                               int64_t r) {
  if (r >= kernel) return {0, 0, 0, 0};
  const int64_t taps = (kernel - r + stride - 1) / stride;
  const int64_t q0 = floor_div(pad - r + stride - 1, stride);
  const int64_t q1 = floor_div(out - 1 + pad - r, stride);
  if (q1 < q0) return {0, 0, 0, 0};
  return {static_cast<size_t>(taps), static_cast<size_t>(q1 - q0 + 1), q0 * stride + r - pad,
          taps - 1 - q0};
}

// conv2d_transpose through the vector loops, one correlation per residue pair, so that no
// multiply-add meets a zero of the spread input. Residues no kernel row reaches keep their
// zeros. False on the portable path, with `out` untouched.
bool transpose_by_phases(const kernels::Image<int32_t>& image, const int8_t* w,
                         const LogicalDims& wd, int64_t s, int32_t pad_x, int32_t pad_y,
                         uint32_t out_x, uint32_t out_y, uint32_t* out) {
  if (kernels::active_path() == kernels::KernelPath::portable) return false;
  const std::vector<int32_t> kernel = kernel_matrix(w, wd, false);
  const size_t ky = wd.dims[1], channels = image.channels, filters = wd.dims[3];
  const size_t column = channels * filters;  // one tap's (channel, filter) block
  std::vector<int32_t> taps;
  for (int64_t rx = 0; rx < s; ++rx) {
    const TransposePhase px = transpose_phase(wd.dims[0], s, pad_x, out_x, rx);
    for (int64_t ry = 0; ry < s && px.taps && px.count; ++ry) {
      const TransposePhase py = transpose_phase(ky, s, pad_y, out_y, ry);
      if (!py.taps || !py.count) continue;
      taps.resize(px.taps * py.taps * column);
      for (size_t t = 0; t < px.taps; ++t)
        for (size_t u = 0; u < py.taps; ++u) {
          const size_t a = rx + (px.taps - 1 - t) * s, b = ry + (py.taps - 1 - u) * s;
          std::copy_n(kernel.data() + (a * ky + b) * column, column,
                      taps.data() + (t * py.taps + u) * column);
        }
      const kernels::Output target{
          out + (static_cast<size_t>(px.first) * out_y + static_cast<size_t>(py.first)) * filters,
          s * out_y * filters, s * filters, nullptr};
      if (!kernels::correlate_blocked(image, {1, px.offset, py.offset, nullptr},
                                      {px.taps, py.taps, 1, 1, px.count, py.count, filters},
                                      taps.data(), target)) {
        std::fill(out, out + size_t{out_x} * out_y * filters, 0u);
        return false;
      }
    }
  }
  return true;
}

template <bool depthwise>
std::shared_ptr<Dense> transpose_impl(const char* op, const Dense& inputs, const Dense& weights,
                                      uint8_t stride, int32_t pad_x, int32_t pad_y, uint32_t out_x,
                                      uint32_t out_y) {
  const int32_t* in = detail::elements<int32_t>(inputs);
  const int8_t* w = detail::elements<int8_t>(weights);
  const ImageDims dims = image_dims(op, "inputs", inputs);
  // The weights are read row-major in the order their shape lists.
  const Shape ws = weights.shape();
  LogicalDims wd{std::vector<uint32_t>(ws.begin(), ws.end()), {}};
  for (size_t i = 0, s = 1; i < wd.dims.size(); ++i) {
    wd.strides.insert(wd.strides.begin(), s);
    s *= wd.dims[wd.dims.size() - 1 - i];
  }
  if (depthwise)
    wd = depthwise_weights(op, wd, dims.channels);
  else {
    detail::require_rank(op, "weights", wd.dims.size(), 4);
    detail::require_equal(op, "weights input channels", wd.dims[2], "inputs channels",
                          dims.channels);
  }
  const size_t filters = depthwise ? dims.channels : wd.dims[3];
  auto result =
      detail::make_dense(TensorType::int32, {out_x, out_y, static_cast<uint32_t>(filters)});
  auto* out = reinterpret_cast<uint32_t*>(detail::mutable_elements<int32_t>(*result));

  const int64_t kx = wd.dims[0], ky = wd.dims[1], s = stride;
  const size_t channels = dims.channels;
  const kernels::Image<int32_t> image{in, dims.x, dims.y, channels};
  if (s > 0 && !depthwise) {
    if (transpose_by_phases(image, w, wd, s, pad_x, pad_y, out_x, out_y, out)) return result;
  } else if (s > 0) {
    // The scatter as a gather: the input spread `stride` apart on a canvas, correlated with
    // the rotated kernel at stride 1.
    const std::vector<int32_t> rotated = kernel_matrix(w, wd, true);
    const kernels::Placement placement{static_cast<size_t>(s), kx - 1 - pad_x, ky - 1 - pad_y,
                                       nullptr};
    const kernels::Correlation shape{
        static_cast<size_t>(kx), static_cast<size_t>(ky), 1, 1, out_x, out_y, filters};
    if (kernels::depthwise_blocked(image, placement, shape, rotated.data(),
                                   {out, size_t{out_y} * filters, filters, nullptr}))
      return result;
  }
  const std::vector<int32_t> kernel = kernel_matrix(w, wd, false);
  for (size_t i = 0; i < dims.x; ++i) {
    const int64_t x0 = static_cast<int64_t>(i) * s - pad_x;  // output x of kernel row 0
    const int64_t a0 = std::max<int64_t>(0, -x0), a1 = std::min<int64_t>(kx, out_x - x0);
    if (a0 >= a1) continue;
    for (size_t j = 0; j < dims.y; ++j) {
      const int64_t y0 = static_cast<int64_t>(j) * s - pad_y;
      const int64_t b0 = std::max<int64_t>(0, -y0), b1 = std::min<int64_t>(ky, out_y - y0);
      if (b0 >= b1) continue;
      const int32_t* values = in + (i * dims.y + j) * channels;
      for (int64_t a = a0; a < a1; ++a)
        for (int64_t b = b0; b < b1; ++b) {
          uint32_t* target =
              out + (static_cast<size_t>(x0 + a) * out_y + static_cast<size_t>(y0 + b)) * filters;
          const int32_t* taps = kernel.data() + static_cast<size_t>(a * ky + b) * channels *
                                                    (depthwise ? 1 : filters);
          if (depthwise) {
            for (size_t c = 0; c < channels; ++c)
              target[c] += static_cast<uint32_t>(taps[c]) * static_cast<uint32_t>(values[c]);
          } else {
            for (size_t c = 0; c < channels; ++c)
              if (values[c] != 0)
                kernels::axpy_wrap(target, taps + c * filters, values[c], filters);
          }
        }
    }
  }
  return result;
}

}  // namespace

std::shared_ptr<Dense> conv2d(const Dense& inputs, int8_t stride_x, int8_t stride_y, int32_t pad_x,
                              int32_t pad_y, uint32_t out_x, uint32_t out_y, const Dense& weights,
                              int32_t bits) {
  return conv2d_impl<int32_t>("conv2d", inputs, stride_x, stride_y, pad_x, pad_y, out_x, out_y,
                              weights, &bits);
}

std::shared_ptr<Dense> conv2d(const Dense& inputs, int8_t stride_x, int8_t stride_y, int32_t pad_x,
                              int32_t pad_y, uint32_t out_x, uint32_t out_y, const Dense& weights) {
  return conv2d_impl<uint8_t>("conv2d", inputs, stride_x, stride_y, pad_x, pad_y, out_x, out_y,
                              weights, nullptr);
}

std::shared_ptr<Dense> depthwise_conv2d(const Dense& inputs, int8_t stride_x, int8_t stride_y,
                                        int32_t pad_x, int32_t pad_y, uint32_t out_x,
                                        uint32_t out_y, const Dense& weights) {
  if (inputs.type() == TensorType::uint8)
    return depthwise_impl<uint8_t>(inputs, stride_x, stride_y, pad_x, pad_y, out_x, out_y, weights);
  return depthwise_impl<int32_t>(inputs, stride_x, stride_y, pad_x, pad_y, out_x, out_y, weights);
}

std::shared_ptr<Dense> flatten_weights(const Dense& weights) {
  static constexpr const char* op = "flatten_weights";
  const int8_t* w = detail::elements<int8_t>(weights);
  const LogicalDims wd = detail::logical_dims(weights);
  detail::require_rank(op, "weights", wd.dims.size(), 4);
  const size_t kx = wd.dims[0], ky = wd.dims[1], channels = wd.dims[2], filters = wd.dims[3];
  const uint64_t row = uint64_t{kx} * ky * channels;
  if (row > UINT32_MAX) panic("Cannot have a shape with dimension %zu set to 0", size_t{1});
  auto result = detail::make_dense(weights.type(), {wd.dims[3], static_cast<uint32_t>(row)});
  int8_t* out = detail::mutable_elements<int8_t>(*result);
  for (size_t f = 0; f < filters; ++f)
    for (size_t a = 0; a < kx; ++a)
      for (size_t b = 0; b < ky; ++b)
        for (size_t c = 0; c < channels; ++c)
          *out++ = w[a * wd.strides[0] + b * wd.strides[1] + c * wd.strides[2] + f * wd.strides[3]];
  return result;
}

std::shared_ptr<Dense> input_conv2d(const Dense& inputs, const Dense& pad_values, int8_t stride_x,
                                    int8_t stride_y, int32_t pad_y_before, int32_t pad_y_after,
                                    int32_t pad_x_before, int32_t pad_x_after, uint32_t out_x,
                                    uint32_t out_y, uint32_t kernel_x, uint32_t kernel_y,
                                    const Dense& flat_weights) {
  static constexpr const char* op = "input_conv2d";
  const uint8_t* in = detail::elements<uint8_t>(inputs);
  const uint8_t* pads = detail::elements<uint8_t>(pad_values);
  const int8_t* w = detail::elements<int8_t>(flat_weights);
  const ImageDims dims = image_dims(op, "inputs", inputs);
  const LogicalDims wd = detail::logical_dims(flat_weights);
  detail::require_rank(op, "flat_weights", wd.dims.size(), 2);
  const uint64_t taps = uint64_t{kernel_x} * kernel_y;
  detail::require_equal(op, "flat_weights row length", wd.dims[1],
                        "kernel_x * kernel_y * inputs channels", taps * dims.channels);
  detail::require_count(op, "pad_values", detail::element_count(pad_values), dims.channels,
                        "one per input channel");
  require_strides(op, stride_x, stride_y);
  if (uint64_t{out_x} * out_y == 0)
    panic("Cannot have a shape with dimension %zu set to 0", size_t{0});
  const int64_t windows_x =
      window_count(int64_t{dims.x} + pad_x_before + pad_x_after, kernel_x, stride_x);
  const int64_t windows_y =
      window_count(int64_t{dims.y} + pad_y_before + pad_y_after, kernel_y, stride_y);
  detail::require_equal(op, "windows along x in the padded input", static_cast<uint64_t>(windows_x),
                        "out_x", out_x);
  detail::require_equal(op, "windows along y in the padded input", static_cast<uint64_t>(windows_y),
                        "out_y", out_y);
  const uint32_t filters = wd.dims[0];
  auto result = detail::make_dense_unfilled(TensorType::int32, {out_x, out_y, filters});
  int32_t* out = detail::mutable_elements<int32_t>(*result);

  // Kernel matrix (taps * C, F) from the rows of the flattened weights.
  const size_t length = wd.dims[1];
  std::vector<int32_t> kernel(length * filters);
  for (size_t f = 0; f < filters; ++f)
    for (size_t k = 0; k < length; ++k)
      kernel[k * filters + f] = w[f * wd.strides[0] + k * wd.strides[1]];
  const std::vector<int32_t> pad_row(pads, pads + dims.channels);

  const kernels::Image<uint8_t> image{in, dims.x, dims.y, dims.channels};
  const kernels::Correlation shape{
      kernel_x, kernel_y, static_cast<size_t>(stride_x), static_cast<size_t>(stride_y), out_x,
      out_y,    filters};
  const size_t row_size = size_t{out_y} * filters;
  if (kernels::correlate_blocked(image, {1, pad_x_before, pad_y_before, pad_row.data()}, shape,
                                 kernel.data(),
                                 {reinterpret_cast<uint32_t*>(out), row_size, filters, nullptr}))
    return result;
  zero(*result);
  kernels::CorrelationRow row{kernel.data(), kernel_x,     kernel_y, filters,       0,
                              stride_y,      pad_y_before, out_y,    pad_row.data()};
  for (size_t ox = 0; ox < out_x; ++ox) {
    row.x0 = static_cast<int64_t>(ox) * stride_x - pad_x_before;
    kernels::correlate_row(image, row, reinterpret_cast<uint32_t*>(out + ox * row_size));
  }
  return result;
}

std::shared_ptr<Dense> conv2d_transpose(const Dense& inputs, const Dense& weights, uint8_t stride,
                                        int32_t pad_x, int32_t pad_y, uint32_t out_x,
                                        uint32_t out_y) {
  return transpose_impl<false>("conv2d_transpose", inputs, weights, stride, pad_x, pad_y, out_x,
                               out_y);
}

std::shared_ptr<Dense> depthwise_conv2d_transpose(const Dense& inputs, const Dense& weights,
                                                  uint8_t stride, int32_t pad_x, int32_t pad_y,
                                                  uint32_t out_x, uint32_t out_y) {
  return transpose_impl<true>("depthwise_conv2d_transpose", inputs, weights, stride, pad_x, pad_y,
                              out_x, out_y);
}

std::shared_ptr<Dense> depth_conv_like_op(const Dense& inputs, const Dense& weights, int32_t bits) {
  static constexpr const char* op = "depth_conv_like_op";
  const int32_t* in = detail::elements<int32_t>(inputs);
  const int8_t* w = detail::elements<int8_t>(weights);
  detail::require_rank(op, "inputs", inputs, 4);
  detail::require_rank(op, "weights", weights, 4);
  const Shape is = inputs.shape(), ws = weights.shape();
  const size_t a_count = is[0], b_count = is[1], depth = is[2], channels = is[3];
  detail::require_equal(op, "weights dimension 2", ws[2], "inputs depth", depth);
  detail::require_equal(op, "weights dimension 3", ws[3], "inputs channels", channels);
  auto result = detail::make_dense(TensorType::int32, {is[0], is[1], is[3]});
  int32_t* out = detail::mutable_elements<int32_t>(*result);

  const ClipRange range = clip_range(bits);
  for (size_t p = 0; p < a_count * b_count; ++p) {
    int32_t* acc = out + p * channels;
    const int32_t* values = in + p * depth * channels;
    for (size_t d = 0; d < depth; ++d)
      for (size_t c = 0; c < channels; ++c)
        acc[c] = saturate_int32(
            clip(int64_t{w[d * channels + c]} * values[d * channels + c] + acc[c], range));
  }
  return result;
}

std::shared_ptr<Dense> pointwise_conv2d(const Dense& inputs, const Dense& weights) {
  static constexpr const char* op = "pointwise_conv2d";
  const int32_t* in = detail::elements<int32_t>(inputs);
  const int8_t* w = detail::elements<int8_t>(weights);
  const ImageDims dims = image_dims(op, "inputs", inputs);
  const uint32_t filters = weights.shape()[0];
  detail::require_count(op, "weights", detail::element_count(weights),
                        uint64_t{dims.channels} * filters, "inputs channels * weights.shape[0]");
  auto result = detail::make_dense_unfilled(TensorType::int32, {dims.x, dims.y, filters});
  auto* out = reinterpret_cast<uint32_t*>(detail::mutable_elements<int32_t>(*result));

  const std::vector<int32_t> kernel(w, w + size_t{dims.channels} * filters);
  const kernels::Image<int32_t> image{in, dims.x, dims.y, dims.channels};
  if (kernels::correlate_blocked(image, {1, 0, 0, nullptr}, {1, 1, 1, 1, dims.x, dims.y, filters},
                                 kernel.data(), {out, size_t{dims.y} * filters, filters, nullptr}))
    return result;
  zero(*result);
  const size_t pixels = size_t{dims.x} * dims.y;
  for (size_t p = 0; p < pixels; ++p) {
    const int32_t* values = in + p * dims.channels;
    for (size_t k = 0; k < dims.channels; ++k)
      if (values[k] != 0)
        kernels::axpy_wrap(out + p * filters, kernel.data() + k * filters, values[k], filters);
  }
  return result;
}

}  // namespace morla::ops
