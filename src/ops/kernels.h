#pragma once
// The inner loops of the convolutions and of matmul over raw, already validated memory.
// Each is compiled for AVX2 and for the baseline ISA, chosen once at load time.
#include <cstddef>
#include <cstdint>

// Not under ThreadSanitizer: the loader runs the clones' resolver before its runtime is up.
#if defined(__x86_64__) && defined(__GNUC__) && defined(__has_attribute) && \
    !defined(__SANITIZE_THREAD__)
#if __has_attribute(target_clones)
#define MORLA_MULTIVERSION __attribute__((target_clones("avx2", "default")))
#endif
#endif
#ifndef MORLA_MULTIVERSION
#define MORLA_MULTIVERSION
#endif

namespace morla::ops::kernels {

// A row-major (x, y, channel) image.
template <typename T>
struct Image {
  const T* data;
  size_t x, y, channels;
};

// One output row of a correlation with a prepared kernel matrix: for every oy < out_y,
//   acc[oy][f] += Σ_{t,u,c} kernel[(t*ky + u)*channels + c][f] * in(x0 + t, oy*stride_y + u -
//   pad_y, c)
// with 32-bit wrapping arithmetic. Positions outside the image read `pad_row` (one value
// per channel) or, when it is null, contribute nothing.
struct CorrelationRow {
  const int32_t* kernel;  // (kx*ky*channels, filters)
  size_t kx, ky, filters;
  int64_t x0, stride_y, pad_y;
  size_t out_y;
  const int32_t* pad_row;
};
void correlate_row(const Image<int32_t>& in, const CorrelationRow& row, uint32_t* acc);
void correlate_row(const Image<uint8_t>& in, const CorrelationRow& row, uint32_t* acc);

// One output row of a depthwise correlation, kernel (kx, ky, channels):
//   acc[oy][c] += Σ_{t,u} kernel[(t*ky + u)*channels + c] * in(x0 + t, oy*stride_y + u - pad_y, c)
void depthwise_row(const Image<int32_t>& in, const CorrelationRow& row, uint32_t* acc);
void depthwise_row(const Image<uint8_t>& in, const CorrelationRow& row, uint32_t* acc);

// acc[n] += value * row[n] for n < count, 32-bit wrapping.
void axpy_wrap(uint32_t* acc, const int32_t* row, int32_t value, size_t count);

// Sums of 64-bit products, wrapping in 64 bits:
//   gemv:     acc[n] = Σ_k a[k] * b[k*n_count + n]   (b row-major (k, n))
//   gemv_t:   acc[n] = Σ_k a[k] * b[n*k_count + k]   (b row-major (n, k))
void gemv(const int32_t* a, const int32_t* b, size_t k_count, size_t n_count, uint64_t* acc);
void gemv(const int32_t* a, const int8_t* b, size_t k_count, size_t n_count, uint64_t* acc);
void gemv_t(const int32_t* a, const int32_t* b, size_t k_count, size_t n_count, uint64_t* acc);

}  // namespace morla::ops::kernels
