// Every vector path the CPU has against the portable loops, bit for bit, over random
// geometries and over value ranges that select each packing (8-bit unsigned and signed,
// 16-bit, and full 32-bit values whose sums wrap), also where the first input row fits a
// narrower packing than the rest (the one the canvas is first placed in).
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <random>
#include <string>
#include <tuple>

#include "ops/clip.h"
#include "ops/convolution.h"
#include "ops/kernel_path.h"
#include "ops/matmul.h"
#include "ops_test_support.h"
#include "test_helpers.h"

namespace morla {
namespace {

using ops::kernels::KernelPath;
using namespace ops_test;

struct ValueRange {
  const char* name;
  int64_t low, high;
  int64_t first_low, first_high;  // of the first row of each input
};

const ValueRange kRanges[] = {{"unsigned 8 bit", 0, 255, 0, 255},
                              {"signed 8 bit", -128, 127, -128, 127},
                              {"signed 16 bit", -32768, 32767, -32768, 32767},
                              {"full 32 bit", INT32_MIN, INT32_MAX, INT32_MIN, INT32_MAX},
                              {"unsigned 8 bit after 7 bit", 0, 255, 0, 127},
                              {"signed 8 bit after 7 bit", -128, 127, 0, 127},
                              {"signed 16 bit after 8 bit", -32768, 32767, -128, 127},
                              {"full 32 bit after 16 bit", INT32_MIN, INT32_MAX, -32768, 32767}};

class KernelPaths : public ::testing::TestWithParam<std::tuple<KernelPath, ValueRange>> {
 protected:
  void SetUp() override {
    if (!ops::kernels::cpu_supports(path()))
      GTEST_SKIP() << "this CPU has no " << ops::kernels::path_name(path());
  }
  void TearDown() override { ops::kernels::limit_path(KernelPath::avx512_vnni); }
  KernelPath path() const { return std::get<0>(GetParam()); }
  const ValueRange& range() const { return std::get<1>(GetParam()); }

  int pick(int low, int high) { return std::uniform_int_distribution<int>(low, high)(gen_); }
  std::shared_ptr<Dense> inputs(uint32_t x, uint32_t y, uint32_t c) {
    std::uniform_int_distribution<int64_t> value(range().low, range().high);
    std::uniform_int_distribution<int64_t> first(range().first_low, range().first_high);
    std::vector<int32_t> v(size_t{x} * y * c);
    for (size_t i = 0; i < v.size(); ++i)
      v[i] = static_cast<int32_t>(i < size_t{y} * c ? first(gen_) : value(gen_));
    return i32({x, y, c}, v);
  }
  std::shared_ptr<Dense> bytes(const Shape& shape) {
    std::vector<uint8_t> v(shape.element_count());
    for (uint8_t& e : v) e = static_cast<uint8_t>(pick(0, 255));
    return u8(shape, v);
  }
  // Random int8 weights; a column-major tensor lists the dimensions in reverse.
  std::shared_ptr<Dense> weights(const Shape& shape,
                                 Dense::Layout layout = Dense::Layout::RowMajor) {
    std::vector<int8_t> v(shape.element_count());
    for (int8_t& e : v) e = static_cast<int8_t>(pick(-128, 127));
    if (layout == Dense::Layout::RowMajor) return make<int8_t>(TensorType::int8, shape, v);
    std::vector<uint32_t> reversed(shape.begin(), shape.end());
    std::reverse(reversed.begin(), reversed.end());
    return make<int8_t>(TensorType::int8, Shape(reversed), v, layout);
  }

  // The operation on the portable path and on the path under test.
  void expect_same(const std::string& what, const std::function<std::shared_ptr<Dense>()>& op) {
    ops::kernels::limit_path(KernelPath::portable);
    const std::shared_ptr<Dense> expected = op();
    ops::kernels::limit_path(path());
    const std::shared_ptr<Dense> got = op();
    ASSERT_EQ(got->shape(), expected->shape()) << what;
    ASSERT_EQ(values<int32_t>(*got), values<int32_t>(*expected)) << what;
  }

  std::mt19937 gen_{2024};
};

TEST_P(KernelPaths, ConvolutionsMatchThePortableLoops) {
  for (int round = 0; round < 24; ++round) {
    // Rounds alternate between at most four channels (an image's colours, one packed word),
    // whole vectors of channels (read in place) and any count.
    const uint32_t C = round % 3 == 0 ? pick(1, 4) : round % 3 == 1 ? 16 * pick(1, 3) : pick(1, 40);
    const uint32_t X = pick(1, 16), Y = pick(1, 30), F = pick(1, 72);
    const uint32_t kx = pick(1, 4), ky = pick(1, 4);
    const int8_t sx = static_cast<int8_t>(pick(1, 3)), sy = static_cast<int8_t>(pick(1, 3));
    const int32_t px = pick(-1, 3), py = pick(-1, 3), pa = pick(0, 2), pb = pick(0, 2);
    const uint32_t ox = pick(1, 12), oy = pick(1, 28);
    const std::string where = "round " + std::to_string(round) + " X=" + std::to_string(X) +
                              " Y=" + std::to_string(Y) + " C=" + std::to_string(C) +
                              " F=" + std::to_string(F) + " k=" + std::to_string(kx) + "x" +
                              std::to_string(ky);
    auto x = inputs(X, Y, C);
    auto x8 = bytes({X, Y, C});
    auto w =
        weights({kx, ky, C, F}, pick(0, 1) ? Dense::Layout::ColMajor : Dense::Layout::RowMajor);
    auto dw = weights({kx, ky, C});
    const int32_t bits = pick(0, 1) ? 32 : pick(8, 24);
    expect_same("conv2d " + where,
                [&] { return ops::conv2d(*x, sx, sy, px, py, ox, oy, *w, bits); });
    expect_same("conv2d uint8 " + where,
                [&] { return ops::conv2d(*x8, sx, sy, px, py, ox, oy, *w); });
    expect_same("depthwise_conv2d " + where,
                [&] { return ops::depthwise_conv2d(*x, sx, sy, px, py, ox, oy, *dw); });
    expect_same("depthwise_conv2d uint8 " + where,
                [&] { return ops::depthwise_conv2d(*x8, sx, sy, px, py, ox, oy, *dw); });
    auto pw = weights({F, C});
    expect_same("pointwise_conv2d " + where, [&] { return ops::pointwise_conv2d(*x, *pw); });
    const uint8_t stride = static_cast<uint8_t>(pick(1, 3));
    auto tw = weights({kx, ky, C, F});  // read row-major whatever the layout
    expect_same("conv2d_transpose " + where,
                [&] { return ops::conv2d_transpose(*x, *tw, stride, px, py, ox, oy); });
    expect_same("depthwise_conv2d_transpose " + where,
                [&] { return ops::depthwise_conv2d_transpose(*x, *dw, stride, px, py, ox, oy); });
    // input_conv2d needs out sizes that match the padded input's windows.
    const int64_t wx = (int64_t{X} + px + pa - kx) / sx + 1,
                  wy = (int64_t{Y} + py + pb - ky) / sy + 1;
    if (px >= 0 && py >= 0 && int64_t{X} + px + pa >= kx && int64_t{Y} + py + pb >= ky) {
      auto pads = bytes({C});
      auto flat = ops::flatten_weights(*w);
      expect_same("input_conv2d " + where, [&] {
        return ops::input_conv2d(*x8, *pads, sx, sy, py, pb, px, pa, static_cast<uint32_t>(wx),
                                 static_cast<uint32_t>(wy), kx, ky, *flat);
      });
    }
  }
}

TEST_P(KernelPaths, MatmulMatchesThePortableLoop) {
  for (int round = 0; round < 12; ++round) {
    // Every third round runs deep enough for several spans of the 8-bit loops' 32-bit sums.
    const uint32_t batches = pick(1, 3), rows = pick(1, 3),
                   depth = round % 3 == 2 ? pick(200, 1100) : pick(1, 70), columns = pick(1, 50);
    auto a = inputs(batches, rows, depth);
    const bool transpose = pick(0, 1);
    const Shape b_shape =
        transpose ? Shape{batches, columns, depth} : Shape{batches, depth, columns};
    auto b8 = weights(b_shape, pick(0, 1) ? Dense::Layout::ColMajor : Dense::Layout::RowMajor);
    auto b32 = inputs(batches, transpose ? columns : depth, transpose ? depth : columns);
    auto shared = weights(transpose ? Shape{columns, depth} : Shape{depth, columns});
    const int32_t bits = pick(0, 1) ? 32 : pick(8, 40);
    const std::string where = "round " + std::to_string(round);
    expect_same("matmul int8 " + where, [&] { return ops::matmul(*a, *b8, bits, transpose); });
    expect_same("matmul int32 " + where, [&] { return ops::matmul(*a, *b32, bits, transpose); });
    expect_same("matmul 2-D " + where, [&] { return ops::matmul(*a, *shared, bits, transpose); });
  }
}

INSTANTIATE_TEST_SUITE_P(EveryPath, KernelPaths,
                         ::testing::Combine(::testing::Values(KernelPath::avx2, KernelPath::avx512,
                                                              KernelPath::avx512_vnni),
                                            ::testing::ValuesIn(kRanges)),
                         [](const auto& info) {
                           return test::case_name(
                               std::string(ops::kernels::path_name(std::get<0>(info.param))) + " " +
                               std::get<1>(info.param).name);
                         });

// An 8-bit input whose first row holds negative values and whose later rows reach 255: the
// first row fits signed bytes, the whole input neither signed nor unsigned bytes. Against
// the convolution's definition on each path.
class EightBitConvolution : public ::testing::TestWithParam<KernelPath> {
 protected:
  void SetUp() override {
    if (!ops::kernels::cpu_supports(GetParam()))
      GTEST_SKIP() << "this CPU has no " << ops::kernels::path_name(GetParam());
    ops::kernels::limit_path(GetParam());
  }
  void TearDown() override { ops::kernels::limit_path(KernelPath::avx512_vnni); }
  int pick(int low, int high) { return std::uniform_int_distribution<int>(low, high)(gen_); }
  std::mt19937 gen_{38};
};

TEST_P(EightBitConvolution, NegativeFirstRowThenValuesUpTo255) {
  for (int round = 0; round < 12; ++round) {
    // The first round is 12 x 12 x 16 into 8 filters, the others random.
    const bool first = round == 0;
    const uint32_t X = first ? 12 : pick(2, 14), Y = first ? 12 : pick(1, 14),
                   C = first ? 16 : pick(1, 40), F = first ? 8 : pick(1, 40);
    const uint32_t kx = first ? 3 : pick(1, 3), ky = first ? 3 : pick(1, 3);
    const int sx = first ? 1 : pick(1, 2), sy = first ? 1 : pick(1, 2);
    const int px = first ? 1 : pick(0, 2), py = first ? 1 : pick(0, 2);
    const uint32_t ox = first ? X : pick(1, 14), oy = first ? Y : pick(1, 14);
    const int32_t bits = first || pick(0, 1) ? 32 : pick(8, 20);
    std::vector<int32_t> in(size_t{X} * Y * C);
    for (size_t i = 0; i < in.size(); ++i)
      in[i] = i < size_t{Y} * C ? pick(-128, 127) : pick(-128, 255);
    in[0] = -128;             // the first row has a negative value
    in[in.size() - 1] = 255;  // a later row reaches 255
    std::vector<int8_t> w(size_t{kx} * ky * C * F);
    for (int8_t& e : w) e = static_cast<int8_t>(pick(-128, 127));
    const auto got = ops::conv2d(*i32({X, Y, C}, in), static_cast<int8_t>(sx),
                                 static_cast<int8_t>(sy), px, py, ox, oy,
                                 *make<int8_t>(TensorType::int8, {kx, ky, C, F}, w), bits);
    ASSERT_EQ(got->shape(), (Shape{ox, oy, F}));
    const int32_t* out = got->data<int32_t>();
    // out(o, q, f): the kernel rotated, W[kx-1-t][ky-1-u][c][f] against the input at
    // (o*sx + t - px, q*sy + u - py), padding adding nothing; then the clip.
    size_t wrong = 0;
    for (uint32_t o = 0; o < ox; ++o)
      for (uint32_t q = 0; q < oy; ++q)
        for (uint32_t f = 0; f < F; ++f) {
          int64_t sum = 0;
          for (uint32_t t = 0; t < kx; ++t)
            for (uint32_t u = 0; u < ky; ++u) {
              const int64_t i = int64_t{o} * sx + t - px, j = int64_t{q} * sy + u - py;
              if (i < 0 || i >= X || j < 0 || j >= Y) continue;
              for (uint32_t c = 0; c < C; ++c)
                sum += int64_t{w[(((kx - 1 - t) * ky + (ky - 1 - u)) * C + c) * F + f]} *
                       in[(static_cast<size_t>(i) * Y + static_cast<size_t>(j)) * C + c];
            }
          wrong += out[(size_t{o} * oy + q) * F + f] != ops::clip(sum, bits);
        }
    EXPECT_EQ(wrong, 0u) << "of " << got->size() << " outputs, round " << round << ": X=" << X
                         << " Y=" << Y << " C=" << C << " F=" << F << " k=" << kx << "x" << ky;
  }
}

INSTANTIATE_TEST_SUITE_P(EveryPath, EightBitConvolution,
                         ::testing::Values(KernelPath::portable, KernelPath::avx2,
                                           KernelPath::avx512, KernelPath::avx512_vnni),
                         [](const auto& info) { return ops::kernels::path_name(info.param); });

}  // namespace
}  // namespace morla
