#include "ops/matmul.h"

#include <stdexcept>
#include <string>
#include <type_traits>
#include <vector>

#include "ops/blocked_kernels.h"
#include "ops/clip.h"
#include "ops/kernel_path.h"
#include "ops/kernels.h"
#include "ops/tensor_access.h"

namespace morla::ops {

namespace {

// The matrices of b as contiguous int32 rows, copied only when b is not already so.
struct MatrixSource {
  const int32_t* data;
  std::vector<int32_t> copy;
};

bool row_major(const detail::LogicalDims& dims) {
  size_t expected = 1;
  for (size_t i = dims.dims.size(); i-- > 0;) {
    if (dims.strides[i] != expected) return false;
    expected *= dims.dims[i];
  }
  return true;
}

template <typename T>
MatrixSource contiguous(const T* data, const detail::LogicalDims& dims) {
  size_t expected = 1;
  for (uint32_t d : dims.dims) expected *= d;
  if constexpr (std::is_same_v<T, int32_t>)
    if (row_major(dims)) return {data, {}};
  MatrixSource source{nullptr, std::vector<int32_t>(expected)};
  // Gather in row-major order through the tensor's strides.
  std::vector<size_t> index(dims.dims.size(), 0);
  for (size_t e = 0; e < expected; ++e) {
    size_t offset = 0;
    for (size_t d = 0; d < index.size(); ++d) offset += index[d] * dims.strides[d];
    source.copy[e] = data[offset];
    for (size_t d = index.size(); d-- > 0;) {
      if (++index[d] < dims.dims[d]) break;
      index[d] = 0;
    }
  }
  source.data = source.copy.data();
  return source;
}

// The gemv loops of one path, int32 or int8 rows of b.
struct Gemv {
  void (*words)(const int32_t*, const int32_t*, size_t, size_t, uint64_t*, void*);
  void (*bytes)(const int32_t*, const int8_t*, size_t, size_t, uint64_t*, void*);
  void operator()(const int32_t* a, const int32_t* b, size_t k, size_t n, uint64_t* acc,
                  void* scratch) const {
    words(a, b, k, n, acc, scratch);
  }
  void operator()(const int32_t* a, const int8_t* b, size_t k, size_t n, uint64_t* acc,
                  void* scratch) const {
    bytes(a, b, k, n, acc, scratch);
  }
};

template <typename T>
void portable_gemv(const int32_t* a, const T* b, size_t k, size_t n, uint64_t* acc, void*) {
  kernels::gemv(a, b, k, n, acc);
}

// The active path's loops. Rows of fewer columns than a 512-bit vector holds run on the
// 256-bit loops, which fill their last vector from the next row.
Gemv pick_gemv(size_t columns) {
#ifdef MORLA_X86_KERNELS
  using kernels::KernelPath;
  const KernelPath path = kernels::active_path();
  if (path >= KernelPath::avx512 && columns >= 16)
    return {kernels::gemv_avx512, kernels::gemv_avx512};
  if (path >= KernelPath::avx2) return {kernels::gemv_avx2, kernels::gemv_avx2};
#else
  (void)columns;
#endif
  return {portable_gemv<int32_t>, portable_gemv<int8_t>};
}

}  // namespace

std::shared_ptr<Dense> matmul(const Dense& a, const Dense& b, int32_t bits, bool transpose_b) {
  static constexpr const char* op = "matmul";
  const bool b_int32 = b.type() == TensorType::int32;
  const bool b_int8 = b.type() == TensorType::int8 || b.type() == TensorType::int4;
  if (a.type() != TensorType::int32 || !(b_int32 || b_int8))
    throw std::runtime_error(
        "The matmul op requires 'a' to be int32 and 'b' to be int32, int8 or int4.");
  const int32_t* x = detail::elements<int32_t>(a);
  detail::require_rank(op, "a", a, 3);
  const Shape as = a.shape();
  const size_t batches = as[0], rows = as[1], depth = as[2];

  const detail::LogicalDims bd = detail::logical_dims(b);
  const size_t rank = bd.dims.size();
  if (rank != 2 && rank != 3)
    throw std::invalid_argument(std::string(op) + ": b must have 2 or 3 dimensions, got " +
                                std::to_string(rank) + ".");
  if (rank == 3) detail::require_equal(op, "b batches", bd.dims[0], "a batches", batches);
  const uint32_t b_depth = bd.dims[rank - (transpose_b ? 1 : 2)];
  const uint32_t columns = bd.dims[rank - (transpose_b ? 2 : 1)];
  detail::require_equal(op, transpose_b ? "b dimension K (last)" : "b dimension K (rows)", b_depth,
                        "a dimension 2", depth);

  // Row-major 8-bit matrices are read as they are; any other is gathered into int32 rows.
  const int8_t* bytes = !b_int32 && !transpose_b && row_major(bd) ? detail::elements<int8_t>(b)
                                                                  : nullptr;
  const MatrixSource matrices = bytes     ? MatrixSource{nullptr, {}}
                                : b_int32 ? contiguous(detail::elements<int32_t>(b), bd)
                                          : contiguous(detail::elements<int8_t>(b), bd);
  auto result = detail::make_dense(TensorType::int32, {as[0], as[1], columns});
  int32_t* out = detail::mutable_elements<int32_t>(*result);

  const ClipRange range = clip_range(bits);
  const size_t matrix_size = depth * columns;
  const Gemv gemv = pick_gemv(columns);
  std::vector<uint64_t> sums(columns), scratch(columns + 8);
  for (size_t i = 0; i < batches; ++i) {
    const size_t first = rank == 3 ? i * matrix_size : 0;
    for (size_t j = 0; j < rows; ++j) {
      const int32_t* row = x + (i * rows + j) * depth;
      if (transpose_b)
        kernels::gemv_t(row, matrices.data + first, depth, columns, sums.data());
      else if (bytes)
        gemv(row, bytes + first, depth, columns, sums.data(), scratch.data());
      else
        gemv(row, matrices.data + first, depth, columns, sums.data(), scratch.data());
      int32_t* target = out + (i * rows + j) * columns;
      for (size_t n = 0; n < columns; ++n)
        target[n] = saturate_int32(clip(static_cast<int64_t>(sums[n]), range));
    }
  }
  return result;
}

}  // namespace morla::ops
