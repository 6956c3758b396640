#pragma once
// Register-blocked correlation loops over packed operands, one set per instruction set
// (blocked_avx2.cpp, blocked_avx512.cpp). The operands are prepared by blocked_conv.cpp:
// the image already padded (every window lies inside it) and the kernel laid out in the
// order the loops read it, so the loops hold no bounds checks.
//
// Every element of the packed image and kernel is 32 bits wide and holds one of:
//   words: one int32 value                 (products wrap in 32 bits)
//   pairs: two int16 values, channel c, c+1 (multiply-add of 16-bit pairs)
//   bytes: four 8-bit values, c..c+3        (image unsigned, kernel signed)
// Sums wrap in 32 bits in every case, so the order of the terms does not change them.
#include <cstddef>
#include <cstdint>

namespace morla::ops::kernels {

enum class Packing : uint8_t { words, pairs, bytes };

// How many 32-bit lanes a path's vector holds and how many output positions one block keeps
// in registers.
struct BlockShape {
  size_t lanes;
  size_t positions;
};

// Where the sums go: output (ox, oy) starts at data + ox * x_step + oy * y_step, its
// filters (or channels) contiguous. With `clip` set each sum is clipped to [low, high].
struct PackedOutput {
  uint32_t* data;
  size_t x_step, y_step;
  bool clip;
  int32_t low, high;
};

struct PackedCorrelation {
  const uint32_t* image;  // cell of output (0, 0)'s window origin in (image_x, image_y, groups)
  size_t image_y, groups;
  // (filter_blocks, kx, ky, groups, block) with block = vectors * lanes filters.
  const uint32_t* kernel;
  size_t vectors;  // vectors per filter block: 1, 2 or 4 (4 on 512-bit vectors only)
  size_t kx, ky, stride_x, stride_y;
  size_t out_x, out_y, filters;
  // Per filter, subtracted from each sum, padded to whole filter blocks; null for none.
  const uint32_t* correction;
  PackedOutput out;
};

// The depthwise form: image (image_x, image_y, groups) words with groups the channels
// rounded up to a whole number of vectors; kernel (kx, ky, groups) words.
struct PackedDepthwise {
  const uint32_t* image;
  size_t image_y, groups;
  const uint32_t* kernel;
  size_t kx, ky, stride_x, stride_y;
  size_t out_x, out_y, channels;
  PackedOutput out;
};

#if defined(__x86_64__) && defined(__GNUC__)
#define MORLA_X86_KERNELS 1
constexpr BlockShape kAvx2Block{8, 5};
constexpr BlockShape kAvx512Block{16, 12};

void correlate_avx2(const PackedCorrelation& problem, Packing packing);    // words, pairs
void correlate_avx512(const PackedCorrelation& problem, Packing packing);  // words, pairs
void correlate_vnni(const PackedCorrelation& problem, Packing packing);    // pairs, bytes
void depthwise_avx2(const PackedDepthwise& problem);
void depthwise_avx512(const PackedDepthwise& problem);

// 64-bit sums of 64-bit products, wrapping: acc[n] = Σ_k a[k] * b[k*n_count + n].
// `scratch` holds n_count + 8 64-bit values for the loop's own use.
void gemv_avx2(const int32_t* a, const int32_t* b, size_t k_count, size_t n_count, uint64_t* acc,
               void* scratch);
void gemv_avx2(const int32_t* a, const int8_t* b, size_t k_count, size_t n_count, uint64_t* acc,
               void* scratch);
void gemv_avx512(const int32_t* a, const int32_t* b, size_t k_count, size_t n_count, uint64_t* acc,
                 void* scratch);
void gemv_avx512(const int32_t* a, const int8_t* b, size_t k_count, size_t n_count, uint64_t* acc,
                 void* scratch);
#endif

}  // namespace morla::ops::kernels
