#include "ops/kernels.h"

#include <cstring>

namespace morla::ops::kernels {

namespace {

// Inlined into each multiversioned caller, so it is vectorised for that caller's ISA.
[[gnu::always_inline]] inline void axpy(uint32_t* __restrict acc, const int32_t* __restrict row,
                                        uint32_t value, size_t count) {
  for (size_t n = 0; n < count; ++n) acc[n] += static_cast<uint32_t>(row[n]) * value;
}

[[gnu::always_inline]] inline void mul_add(uint32_t* __restrict acc, const int32_t* __restrict w,
                                           const int32_t* __restrict v, size_t count) {
  for (size_t n = 0; n < count; ++n)
    acc[n] += static_cast<uint32_t>(w[n]) * static_cast<uint32_t>(v[n]);
}

[[gnu::always_inline]] inline void mul_add(uint32_t* __restrict acc, const int32_t* __restrict w,
                                           const uint8_t* __restrict v, size_t count) {
  for (size_t n = 0; n < count; ++n) acc[n] += static_cast<uint32_t>(w[n]) * uint32_t{v[n]};
}

// The image row at (x, y), or null when the position lies outside the image.
template <typename T>
[[gnu::always_inline]] inline const T* pixel(const Image<T>& in, int64_t x, int64_t y) {
  if (x < 0 || y < 0 || x >= static_cast<int64_t>(in.x) || y >= static_cast<int64_t>(in.y))
    return nullptr;
  return in.data + (static_cast<size_t>(x) * in.y + static_cast<size_t>(y)) * in.channels;
}

template <typename T>
[[gnu::always_inline]] inline void correlate_row_impl(const Image<T>& in, const CorrelationRow& row,
                                                      uint32_t* acc) {
  const size_t channels = in.channels, filters = row.filters;
  for (size_t t = 0; t < row.kx; ++t) {
    const int64_t x = row.x0 + static_cast<int64_t>(t);
    for (size_t u = 0; u < row.ky; ++u) {
      const int32_t* kernel = row.kernel + (t * row.ky + u) * channels * filters;
      for (size_t oy = 0; oy < row.out_y; ++oy) {
        const int64_t y =
            static_cast<int64_t>(oy) * row.stride_y + static_cast<int64_t>(u) - row.pad_y;
        uint32_t* out = acc + oy * filters;
        if (const T* values = pixel(in, x, y)) {
          for (size_t c = 0; c < channels; ++c)
            if (values[c] != 0)
              axpy(out, kernel + c * filters, static_cast<uint32_t>(values[c]), filters);
        } else if (row.pad_row) {
          for (size_t c = 0; c < channels; ++c)
            if (row.pad_row[c] != 0)
              axpy(out, kernel + c * filters, static_cast<uint32_t>(row.pad_row[c]), filters);
        }
      }
    }
  }
}

template <typename T>
[[gnu::always_inline]] inline void depthwise_row_impl(const Image<T>& in, const CorrelationRow& row,
                                                      uint32_t* acc) {
  const size_t channels = in.channels;
  for (size_t t = 0; t < row.kx; ++t) {
    const int64_t x = row.x0 + static_cast<int64_t>(t);
    for (size_t u = 0; u < row.ky; ++u) {
      const int32_t* kernel = row.kernel + (t * row.ky + u) * channels;
      for (size_t oy = 0; oy < row.out_y; ++oy) {
        const int64_t y =
            static_cast<int64_t>(oy) * row.stride_y + static_cast<int64_t>(u) - row.pad_y;
        if (const T* values = pixel(in, x, y))
          mul_add(acc + oy * channels, kernel, values, channels);
      }
    }
  }
}

}  // namespace

MORLA_MULTIVERSION void correlate_row(const Image<int32_t>& in, const CorrelationRow& row,
                                      uint32_t* acc) {
  correlate_row_impl(in, row, acc);
}

MORLA_MULTIVERSION void correlate_row(const Image<uint8_t>& in, const CorrelationRow& row,
                                      uint32_t* acc) {
  correlate_row_impl(in, row, acc);
}

MORLA_MULTIVERSION void depthwise_row(const Image<int32_t>& in, const CorrelationRow& row,
                                      uint32_t* acc) {
  depthwise_row_impl(in, row, acc);
}

MORLA_MULTIVERSION void depthwise_row(const Image<uint8_t>& in, const CorrelationRow& row,
                                      uint32_t* acc) {
  depthwise_row_impl(in, row, acc);
}

MORLA_MULTIVERSION void axpy_wrap(uint32_t* acc, const int32_t* row, int32_t value, size_t count) {
  axpy(acc, row, static_cast<uint32_t>(value), count);
}

namespace {

template <typename T>
[[gnu::always_inline]] inline void gemv_impl(const int32_t* a, const T* b, size_t k_count,
                                             size_t n_count, uint64_t* acc) {
  std::memset(acc, 0, n_count * sizeof(uint64_t));
  for (size_t k = 0; k < k_count; ++k) {
    const int64_t value = a[k];
    if (value == 0) continue;
    const T* __restrict row = b + k * n_count;
    uint64_t* __restrict out = acc;
    for (size_t n = 0; n < n_count; ++n) out[n] += static_cast<uint64_t>(value * int64_t{row[n]});
  }
}

}  // namespace

MORLA_MULTIVERSION void gemv(const int32_t* a, const int32_t* b, size_t k_count, size_t n_count,
                             uint64_t* acc) {
  gemv_impl(a, b, k_count, n_count, acc);
}

MORLA_MULTIVERSION void gemv(const int32_t* a, const int8_t* b, size_t k_count, size_t n_count,
                             uint64_t* acc) {
  gemv_impl(a, b, k_count, n_count, acc);
}

MORLA_MULTIVERSION void gemv_t(const int32_t* a, const int32_t* b, size_t k_count, size_t n_count,
                               uint64_t* acc) {
  for (size_t n = 0; n < n_count; ++n) {
    const int32_t* __restrict row = b + n * k_count;
    uint64_t sum = 0;
    for (size_t k = 0; k < k_count; ++k)
      sum += static_cast<uint64_t>(int64_t{a[k]} * int64_t{row[k]});
    acc[n] = sum;
  }
}

}  // namespace morla::ops::kernels
