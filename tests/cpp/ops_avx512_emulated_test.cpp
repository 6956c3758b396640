// The AVX-512 element-wise loops on any CPU: the code of channel_lanes_avx512.h and
// channel_loops_vector.h compiled over SIMDe's portable versions of the intrinsics, bit for
// bit against the portable loops and a short reference, over sizes that reach every block
// of vectors and every masked tail (on an AVX-512 CPU the forced-path tests run the real
// ones too). Built when SIMDe's headers are installed (Debian: libsimde-dev).
#if __has_include(<simde/x86/avx512.h>)
// SIMDe first: its names for the types and intrinsics are the only ones in this file.
#define SIMDE_ENABLE_NATIVE_ALIASES
#include <simde/x86/avx512.h>

#include <cstdint>

// Older SIMDe releases lack the masked loads and stores and the variable arithmetic right
// shift: lane by lane, touching only the lanes of the mask as the instructions do.
#ifndef _mm512_maskz_loadu_epi32
namespace {
__m512i emulated_maskz_loadu(uint16_t mask, const void* p) {
  int32_t lanes[16] = {};
  for (int i = 0; i < 16; ++i)
    if ((mask >> i) & 1) lanes[i] = static_cast<const int32_t*>(p)[i];
  return _mm512_loadu_si512(lanes);
}
}  // namespace
#define _mm512_maskz_loadu_epi32(mask, p) emulated_maskz_loadu(mask, p)
#endif
#ifndef _mm512_mask_storeu_epi32
namespace {
void emulated_mask_storeu(void* p, uint16_t mask, __m512i v) {
  int32_t lanes[16];
  _mm512_storeu_si512(lanes, v);
  for (int i = 0; i < 16; ++i)
    if ((mask >> i) & 1) static_cast<int32_t*>(p)[i] = lanes[i];
}
}  // namespace
#define _mm512_mask_storeu_epi32(p, mask, v) emulated_mask_storeu(p, mask, v)
#endif
#ifndef _mm512_srav_epi32
namespace {
__m512i emulated_srav(__m512i v, __m512i counts) {
  int32_t lanes[16], by[16];
  _mm512_storeu_si512(lanes, v);
  _mm512_storeu_si512(by, counts);
  for (int i = 0; i < 16; ++i)
    lanes[i] = lanes[i] >> (static_cast<uint32_t>(by[i]) > 31 ? 31 : by[i]);
  return _mm512_loadu_si512(lanes);
}
}  // namespace
#define _mm512_srav_epi32(v, counts) emulated_srav(v, counts)
#endif
// SIMDe's portable low multiply overflows a signed int where the instruction wraps (the
// scale's product before its saturation): lane by lane in unsigned arithmetic.
namespace {
__m512i wrapping_mullo(__m512i a, __m512i b) {
  uint32_t x[16], y[16];
  _mm512_storeu_si512(x, a);
  _mm512_storeu_si512(y, b);
  for (int i = 0; i < 16; ++i) x[i] *= y[i];
  return _mm512_loadu_si512(x);
}
}  // namespace
#undef _mm512_mullo_epi32
#define _mm512_mullo_epi32(a, b) wrapping_mullo(a, b)

#include "ops/channel_lanes_avx512.h"
#include "ops/channel_loops_vector.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "ops/channel_loops.h"
#include "ops/clip.h"
#include "ops/neurons.h"
#include "ops/shift.h"
#include "ops/kernel_path.h"
#include "ops_test_support.h"

namespace morla {
namespace {

using ops::kernels::KernelPath;
// The AVX-512 loops over SIMDe's intrinsics.
using Emulated = ops::loops::vector::Passes<ops::loops::Avx512Lanes>;

class EmulatedAvx512Loops : public ::testing::Test {
 protected:
  void TearDown() override { ops::kernels::limit_path(KernelPath::avx512_vnni); }
  // The loops of channel_loops.h compared against run on the portable path.
  void portable() { ops::kernels::limit_path(KernelPath::portable); }

  int64_t pick(int64_t low, int64_t high) {
    return std::uniform_int_distribution<int64_t>(low, high)(gen_);
  }
  size_t pick_size(size_t low, size_t high) {
    return static_cast<size_t>(pick(static_cast<int64_t>(low), static_cast<int64_t>(high)));
  }
  std::vector<int32_t> values(size_t n) { return ops_test::spread_int32(gen_, n); }
  // Clamp bounds: the whole int32 range (the sums saturate) or a narrower one.
  std::pair<int32_t, int32_t> bounds() {
    if (pick(0, 1)) return {INT32_MIN, INT32_MAX};
    return {static_cast<int32_t>(pick(INT32_MIN, 0)), static_cast<int32_t>(pick(0, INT32_MAX))};
  }

  std::mt19937_64 gen_{35};
};

// Widths that reach each block of 8, 4, 2 and 1 vectors of 16 lanes and each masked tail.
const size_t kWidths[] = {1,  2,  3,  5,  7,  8,  9,   13,  15,  16,  17,  31,  32,  33,  47,
                          48, 63, 64, 65, 79, 95, 112, 127, 128, 129, 143, 200, 255, 256, 257};

TEST_F(EmulatedAvx512Loops, SumsMatchThePortableLoop) {
  for (const size_t n : kWidths) {
    const size_t rows = pick_size(1, 9);
    const auto [low, high] = bounds();
    const std::vector<int32_t> start = values(n), in = values(rows * n);
    std::vector<int32_t> got = start, expected = start;
    Emulated::sum(got.data(), in.data(), rows, n, low, high);
    portable();
    ops::loops::sum_rows(expected.data(), in.data(), rows, n, low, high);
    ASSERT_EQ(got, expected) << "n=" << n << " rows=" << rows;
    for (size_t c = 0; c < n; ++c) {
      int64_t sum = start[c];
      for (size_t r = 0; r < rows; ++r) sum = std::clamp<int64_t>(sum + in[r * n + c], low, high);
      ASSERT_EQ(got[c], sum) << "n=" << n << " channel " << c;
    }
  }
}

TEST_F(EmulatedAvx512Loops, AddsMatchThePortableLoop) {
  for (const size_t period : kWidths) {
    // Whole rows and a last partial one.
    const size_t count = period * pick_size(1, 4) + pick_size(0, period - 1);
    const auto [low, high] = bounds();
    const std::vector<int32_t> x = values(count), y = values(period);
    std::vector<int32_t> got(count), expected(count);
    Emulated::add(x.data(), y.data(), count, period, low, high, got.data());
    portable();
    ops::loops::add_rows(x.data(), y.data(), count, period, low, high, expected.data());
    ASSERT_EQ(got, expected) << "period=" << period << " count=" << count;
    for (size_t i = 0; i < count; ++i)
      ASSERT_EQ(got[i], std::clamp<int64_t>(int64_t{x[i]} + y[i % period], low, high))
          << "period=" << period << " element " << i;
  }
}

TEST_F(EmulatedAvx512Loops, LookUpsMatchThePortableLoop) {
  for (const int64_t half : {1, 3, 128, 1024})
    for (const size_t count : kWidths) {
      const std::string where = "half=" + std::to_string(half) + " count=" + std::to_string(count);
      const std::vector<int32_t> table = values(static_cast<size_t>(2 * half));
      std::vector<int32_t> index(count), got(count), expected(count);
      for (int32_t& k : index) k = static_cast<int32_t>(pick(-half, half - 1));
      ASSERT_TRUE(Emulated::look_up(table.data(), half, index.data(), count, got.data())) << where;
      portable();
      ASSERT_TRUE(
          ops::loops::look_up_rows(table.data(), half, index.data(), count, expected.data()));
      ASSERT_EQ(got, expected) << where;
      for (size_t i = 0; i < count; ++i)
        ASSERT_EQ(got[i], table[static_cast<size_t>(half + index[i])]) << where << " " << i;

      // One index outside, anywhere: just past either end or far off.
      const int32_t outside[] = {static_cast<int32_t>(half), static_cast<int32_t>(-half - 1),
                                 INT32_MIN, INT32_MAX};
      index[pick_size(0, count - 1)] = outside[pick(0, 3)];
      EXPECT_FALSE(Emulated::look_up(table.data(), half, index.data(), count, got.data())) << where;
    }
}

// The output scale's pass as neuron_rows runs it for stages `stages`, on the emulated lanes.
template <class Out>
void emulated_scale(unsigned stages, const std::vector<int32_t>& in, size_t channels,
                    const ops::NeuronStages& n, std::vector<Out>& out) {
  const size_t count = in.size();
  switch (stages) {
    case 8: return Emulated::scale<8>(in.data(), count, channels, n, out.data());
    case 24: return Emulated::scale<24>(in.data(), count, channels, n, out.data());
    case 40: return Emulated::scale<40>(in.data(), count, channels, n, out.data());
    default: return Emulated::scale<56>(in.data(), count, channels, n, out.data());
  }
}

// Each output type over the clips scale_out gives it; shifts right only (all rounding), right,
// none and left (the rounding rule), or left only (the saturating rule); scales from 0 to
// 255; accumulators of 12 to 32 bits; the input clamped first or the product saturated.
TEST_F(EmulatedAvx512Loops, ScalesMatchThePortableLoop) {
  const auto run = [&]<class Out>(Out, std::initializer_list<int32_t> out_bits) {
    for (const int32_t bits : out_bits)
      for (const size_t channels : kWidths) {
        // A few rows, or enough of them for several tiles of the pass (16 KB of inputs each).
        const size_t rows = pick(0, 1) ? pick_size(1, 3) : pick_size(2, 4) * 4096 / channels + 1;
        const size_t count = channels * rows + pick_size(0, channels - 1);
        const int kind = static_cast<int>(pick(0, 2));
        std::vector<int32_t> amounts(channels);
        for (int32_t& a : amounts)
          a = static_cast<int32_t>(kind == 0 ? pick(-31, -1) : pick(kind == 1 ? -31 : 0, 31));
        std::vector<int64_t> scales(channels);
        for (int64_t& s : scales) s = pick(0, 255);
        scales[pick_size(0, channels - 1)] = 0;
        scales[pick_size(0, channels - 1)] = 255;
        const ops::ClipRange out = ops::scale_out_bounds(bits);
        ops::NeuronStages n;
        n.scaled = true;
        n.out = ops::plan_scale(
            scales, ops::clip_range(static_cast<int32_t>(pick(0, 1) ? 32 : pick(12, 31))),
            ops::plan_shift(kind == 2 ? ops::ShiftRule::lshift_saturate : ops::ShiftRule::round,
                            amounts, out.low, out.high));
        if (pick(0, 1)) n.out.clamps_input = false;  // the general form is exact for any stage
        const bool left = std::any_of(n.out.shift.left.begin(), n.out.shift.left.end(),
                                      [](int32_t l) { return l != 0; });
        const unsigned stages = 8 | (left ? 16 : 0) | (n.out.clamps_input ? 32 : 0);
        const std::string where = "bits=" + std::to_string(bits) + " channels=" +
                                  std::to_string(channels) + " stages=" + std::to_string(stages);
        const std::vector<int32_t> in = values(count);
        std::vector<Out> got(count), expected(count);
        emulated_scale(stages, in, channels, n, got);
        portable();
        ops::loops::neuron_rows(in.data(), count, channels, n, expected.data());
        ASSERT_EQ(got, expected) << where;
        for (size_t i = 0; i < count; ++i) {
          const size_t c = i % channels;
          const int64_t product =
              std::clamp<int64_t>(scales[c] * in[i], n.out.acc_low, n.out.acc_high);
          const int64_t shifted =
              kind == 2 ? ops::lshift_saturate(product, static_cast<uint32_t>(amounts[c]))
                        : ops::shift_round(product, amounts[c]);
          ASSERT_EQ(got[i], static_cast<Out>(std::clamp<int64_t>(shifted, out.low, out.high)))
              << where << " element " << i;
        }
      }
  };
  run(uint8_t{}, {1, 3, 4});
  run(int8_t{}, {5, 8});
  run(int16_t{}, {16});
  run(int32_t{}, {11, 24, 32});
}

}  // namespace
}  // namespace morla

#else
#include <gtest/gtest.h>

TEST(EmulatedAvx512Loops, NeedSimde) {
  GTEST_SKIP() << "SIMDe's headers (Debian: libsimde-dev) are not installed";
}
#endif
