#pragma once
// Integer convolutions over (x, y, channel) tensors, channel fastest. Every result is a new
// int32 tensor in layout 0; sums wrap in 32 bits. Argument sizes are checked first
// (std::invalid_argument naming both sizes); a zero output dimension panics "Cannot have a
// shape with dimension %zu set to 0"; a wrong element type panics "Wrong requested type".
#include <cstdint>
#include <memory>

#include "engine_api/tensor.h"

namespace morla::ops {

// True convolution (the kernel rotated by 180 degrees): out[ox][oy][f] = clip(Σ W[Kx-1-t]
// [Ky-1-u][c][f] * in[ox*stride_x + t - pad_x][oy*stride_y + u - pad_y][c], bits) over the
// positions inside the input. inputs int32 (X, Y, C); weights int8 (Kx, Ky, C, F) in layout 0
// or the same dimensions reversed in layout 1. Strides must be at least 1.
std::shared_ptr<Dense> conv2d(const Dense& inputs, int8_t stride_x, int8_t stride_y, int32_t pad_x,
                              int32_t pad_y, uint32_t out_x, uint32_t out_y, const Dense& weights,
                              int32_t bits);
// The same with uint8 inputs, not clipped.
std::shared_ptr<Dense> conv2d(const Dense& inputs, int8_t stride_x, int8_t stride_y, int32_t pad_x,
                              int32_t pad_y, uint32_t out_x, uint32_t out_y, const Dense& weights);

// Per-channel true convolution, not clipped. inputs uint8 or int32 (X, Y, C); weights int8
// (Kx, Ky, C) or (Kx, Ky, C, 1), or reversed in layout 1. Result (out_x, out_y, C).
std::shared_ptr<Dense> depthwise_conv2d(const Dense& inputs, int8_t stride_x, int8_t stride_y,
                                        int32_t pad_x, int32_t pad_y, uint32_t out_x,
                                        uint32_t out_y, const Dense& weights);

// (Kx, Ky, C, F) weights as (F, Kx*Ky*C) rows, c fastest, in the weights' element type.
std::shared_ptr<Dense> flatten_weights(const Dense& weights);

// Cross-correlation of the padded uint8 input with flattened weights (F, Kx*Ky*C), int8;
// padding positions read pad_values[c]. The windows that the padded input holds must number
// out_x by out_y. Not clipped.
std::shared_ptr<Dense> input_conv2d(const Dense& inputs, const Dense& pad_values, int8_t stride_x,
                                    int8_t stride_y, int32_t pad_y_before, int32_t pad_y_after,
                                    int32_t pad_x_before, int32_t pad_x_after, uint32_t out_x,
                                    uint32_t out_y, uint32_t kernel_x, uint32_t kernel_y,
                                    const Dense& flat_weights);

// Scatter of each input through the unrotated kernel: out[i*s + a - pad_x][j*s + b - pad_y][f]
// += W[a][b][c][f] * in[i][j][c], positions outside the output dropped. inputs int32
// (X, Y, C); weights int8 (Kx, Ky, C, F) read row-major. Not clipped.
std::shared_ptr<Dense> conv2d_transpose(const Dense& inputs, const Dense& weights, uint8_t stride,
                                        int32_t pad_x, int32_t pad_y, uint32_t out_x,
                                        uint32_t out_y);
// The same per channel with weights (Kx, Ky, C) or (Kx, Ky, C, 1).
std::shared_ptr<Dense> depthwise_conv2d_transpose(const Dense& inputs, const Dense& weights,
                                                  uint8_t stride, int32_t pad_x, int32_t pad_y,
                                                  uint32_t out_x, uint32_t out_y);

// out[a][b][c] = clip(W[d][c] * in[a][b][d][c] + out[a][b][c], bits) for d in order, a
// saturating accumulation. inputs int32 (A, B, D, C); weights int8 (1, 1, D, C).
std::shared_ptr<Dense> depth_conv_like_op(const Dense& inputs, const Dense& weights, int32_t bits);

// out[x][y][f] = Σ_k W_flat[k*F + f] * in[x][y][k]; inputs int32 (X, Y, K); weights int8 of
// at least K*F elements with F = weights.shape[0]. Not clipped.
// No entry point of the module calls it: it is there for callers of the reference operations.
std::shared_ptr<Dense> pointwise_conv2d(const Dense& inputs, const Dense& weights);

}  // namespace morla::ops
