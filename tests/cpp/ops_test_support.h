#pragma once
// Small tensor builders for the operation tests.
#include <cstdint>
#include <memory>
#include <random>
#include <vector>

#include "engine_api/tensor.h"

namespace morla::ops_test {

template <typename T>
std::shared_ptr<Dense> make(TensorType type, const Shape& shape, const std::vector<T>& values,
                            Dense::Layout layout = Dense::Layout::RowMajor) {
  std::shared_ptr<Dense> d = Dense::create(type, shape, layout);
  T* p = d->mutable_data<T>();
  for (size_t i = 0; i < values.size() && i < d->size(); ++i) p[i] = values[i];
  return d;
}

inline std::shared_ptr<Dense> i32(const Shape& s, const std::vector<int32_t>& v) {
  return make<int32_t>(TensorType::int32, s, v);
}
inline std::shared_ptr<Dense> i8(const Shape& s, const std::vector<int8_t>& v) {
  return make<int8_t>(TensorType::int8, s, v);
}
inline std::shared_ptr<Dense> u8(const Shape& s, const std::vector<uint8_t>& v) {
  return make<uint8_t>(TensorType::uint8, s, v);
}

// n values over the whole int32 range, small ones and the limits mixed in.
inline std::vector<int32_t> spread_int32(std::mt19937_64& gen, size_t n) {
  const auto pick = [&](int64_t low, int64_t high) {
    return std::uniform_int_distribution<int64_t>(low, high)(gen);
  };
  std::vector<int32_t> v(n);
  for (int32_t& e : v) {
    const int64_t kind = pick(0, 9);
    e = static_cast<int32_t>(kind == 0  ? (pick(0, 1) ? INT32_MIN : INT32_MAX)
                             : kind < 5 ? pick(-4096, 4096)
                                        : pick(INT32_MIN, INT32_MAX));
  }
  return v;
}

template <typename T>
std::vector<T> values(const Dense& d) {
  const T* p = d.data<T>();
  return std::vector<T>(p, p + d.size());
}

}  // namespace morla::ops_test
