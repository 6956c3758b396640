#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <stdexcept>

#include "ops/convolution.h"
#include "ops/elementwise.h"
#include "ops/matmul.h"
#include "ops/pooling.h"
#include "ops/stateful.h"
#include "ops_test_support.h"

namespace morla::ops {
namespace {

using namespace ops_test;

// (Kx, Ky, C, F) weights w(t, u, c, f) = t*27 + u*9 + c*3 + f - 40, in either layout.
std::shared_ptr<Dense> weights(uint32_t kx, uint32_t ky, uint32_t c, uint32_t f,
                               Dense::Layout layout) {
  const bool reversed = layout == Dense::Layout::ColMajor;
  std::shared_ptr<Dense> w = Dense::create(
      TensorType::int8, reversed ? Shape({f, c, ky, kx}) : Shape({kx, ky, c, f}), layout);
  int8_t* p = w->mutable_data<int8_t>();
  size_t i = 0;  // memory order is (t, u, c, f) with f fastest in both layouts
  for (uint32_t t = 0; t < kx; ++t)
    for (uint32_t u = 0; u < ky; ++u)
      for (uint32_t ch = 0; ch < c; ++ch)
        for (uint32_t fi = 0; fi < f; ++fi)
          p[i++] = static_cast<int8_t>(t * 27 + u * 9 + ch * 3 + fi - 40);
  return w;
}

TEST(Convolution, LayoutOneWeightsGiveTheSameResult) {
  auto x = i32({3, 4, 2}, {1,  -2, 3,   4,  0,  6,  7,  -8, 9,  10, 11, 12,
                           13, 14, -15, 16, 17, 18, 19, 20, 21, 22, 23, 24});
  auto row = weights(2, 3, 2, 3, Dense::Layout::RowMajor);
  auto col = weights(2, 3, 2, 3, Dense::Layout::ColMajor);
  EXPECT_EQ(values<int32_t>(*conv2d(*x, 1, 2, 1, 1, 3, 2, *row, 32)),
            values<int32_t>(*conv2d(*x, 1, 2, 1, 1, 3, 2, *col, 32)));
  EXPECT_EQ(values<int8_t>(*flatten_weights(*row)), values<int8_t>(*flatten_weights(*col)));
  auto flat = flatten_weights(*row);
  EXPECT_EQ(flat->shape(), Shape({3, 12}));
  EXPECT_EQ(flat->data<int8_t>()[1], -40 + 3);  // row f=0, (a=0, b=0, c=1)
}

TEST(Convolution, Uint8OverloadIsTheUnclippedInt32Result) {
  std::mt19937 gen(3);
  std::vector<uint8_t> raw(5 * 4 * 3);
  for (auto& v : raw) v = static_cast<uint8_t>(gen());
  auto x8 = u8({5, 4, 3}, raw);
  auto x32 = i32({5, 4, 3}, std::vector<int32_t>(raw.begin(), raw.end()));
  auto w = weights(3, 2, 3, 2, Dense::Layout::RowMajor);
  EXPECT_EQ(values<int32_t>(*conv2d(*x8, 2, 1, 1, 0, 3, 3, *w)),
            values<int32_t>(*conv2d(*x32, 2, 1, 1, 0, 3, 3, *w, 0)));
  // uint8 depthwise inputs are read as uint8
  auto dw = i8({1, 1, 3}, {2, -1, 1});
  EXPECT_EQ(values<int32_t>(*depthwise_conv2d(*x8, 1, 1, 0, 0, 5, 4, *dw))[0], raw[0] * 2);
}

TEST(Convolution, NegativeOrOversizedGeometryStaysInside) {
  auto x = i32({2, 2, 1}, {1, 2, 3, 4});
  auto w = weights(2, 2, 1, 1, Dense::Layout::RowMajor);
  // Output larger than the windows: the extra positions only see padding.
  auto out = conv2d(*x, 1, 1, 0, 0, 4, 4, *w, 32);
  EXPECT_EQ(out->shape(), Shape({4, 4, 1}));
  EXPECT_EQ(values<int32_t>(*out).back(), 0);
  EXPECT_NO_THROW(conv2d(*x, 1, 1, -3, 5, 3, 3, *w, 32));
  EXPECT_THROW(conv2d(*x, 0, 1, 0, 0, 1, 1, *w, 32), std::invalid_argument);
  EXPECT_THROW(conv2d(*x, -56, 1, 0, 0, 1, 1, *w, 32), std::invalid_argument);
  EXPECT_THROW(conv2d(*x, 1, 1, 0, 0, 0, 1, *w, 32), std::runtime_error);
}

TEST(Convolution, DepthwiseTransposeAndPointwise) {
  auto x = i32({2, 1, 2}, {1, 10, 2, 20});
  auto w = i8({2, 1, 2}, {1, 2, 3, 4});  // (Kx, Ky, C)
  // out[i*2 + a][0][c] += w[a][0][c] * x[i][0][c]
  EXPECT_EQ(values<int32_t>(*depthwise_conv2d_transpose(*x, *w, 2, 0, 0, 4, 1)),
            (std::vector<int32_t>{1, 20, 3, 40, 2, 40, 6, 80}));
  auto w4 = i8({2, 1, 2, 1}, {1, 2, 3, 4});
  EXPECT_EQ(values<int32_t>(*depthwise_conv2d_transpose(*x, *w4, 2, 0, 0, 4, 1)),
            values<int32_t>(*depthwise_conv2d_transpose(*x, *w, 2, 0, 0, 4, 1)));
  EXPECT_THROW(depthwise_conv2d_transpose(*x, *i8({2, 1, 3}, {}), 2, 0, 0, 4, 1),
               std::invalid_argument);
  // pointwise: F = weights.shape[0], W_flat[k*F + f]
  auto pw = i8({3, 2}, {1, 2, 3, -1, 0, 5});  // F = 3, K = 2: k0 -> (1,2,3), k1 -> (-1,0,5)
  EXPECT_EQ(values<int32_t>(*pointwise_conv2d(*x, *pw)),
            (std::vector<int32_t>{-9, 2, 53, -18, 4, 106}));
  EXPECT_THROW(pointwise_conv2d(*x, *i8({3, 1}, {})), std::invalid_argument);
}

TEST(Elementwise, LshiftAddShiftedAddAndQuantizedActivation) {
  auto a = make<int16_t>(TensorType::int16, {1, 1, 2}, {100, -100});
  auto b = make<uint8_t>(TensorType::uint8, {1, 1, 2}, {3, 200});
  auto shifts = u8({2}, {1, 0});
  EXPECT_EQ(values<int32_t>(*lshift_add(*a, *b, *shifts, 32)), (std::vector<int32_t>{106, 100}));
  EXPECT_EQ(values<int32_t>(*lshift_add(*a, *b, *shifts, 8)), (std::vector<int32_t>{106, 27}));
  auto out_shifts = i8({2}, {-1, -2});
  auto sum = shifted_add(*a, *b, *shifts, *u8({2}, {0, 0}), *out_shifts, 8, 32);
  EXPECT_EQ(sum->type(), TensorType::int8);
  EXPECT_EQ(values<int8_t>(*sum), (std::vector<int8_t>{102, 25}));  // (200+3+1)>>1, (-100+200+2)>>2
  EXPECT_THROW(lshift_add(*make<float>(TensorType::float32, {1, 1, 1}, {}), *b, *shifts, 8),
               std::runtime_error);

  auto in = u8({1, 3, 1}, {10, 11, 200});
  auto thresholds = i32({1}, {10});
  auto steps = i32({1}, {2});
  // ((in - t) * 16 - 1) * 4 / 32 + 1, at most 3
  EXPECT_EQ(values<uint8_t>(*quantized_activation(*in, *thresholds, *steps, 2)),
            (std::vector<uint8_t>{0, 2, 3}));
  EXPECT_EQ(values<uint8_t>(*quantized_activation(*in, *thresholds, *steps, 8)),
            (std::vector<uint8_t>{0, 1, 1}));
  EXPECT_EQ(quantized_activation(*i8({1, 1, 1}, {}), *thresholds, *steps, 2), nullptr);
  EXPECT_THROW(quantized_activation(*in, *thresholds, *i32({1}, {0}), 2), std::invalid_argument);
  EXPECT_THROW(quantized_activation(*in, *thresholds, *i32({1}, {1 << 28}), 2),
               std::invalid_argument);
}

TEST(Elementwise, ConcatenateTypesAndRefusals) {
  auto a = make<int8_t>(TensorType::bit, {1, 2, 1}, {1, 0});
  auto b = make<int8_t>(TensorType::bit, {1, 2, 2}, {0, 1, 1, 1});
  auto joined = concatenate({a, b});
  EXPECT_EQ(joined->type(), TensorType::bit);
  EXPECT_EQ(values<int8_t>(*joined), (std::vector<int8_t>{1, 0, 1, 0, 1, 1}));
  auto f = make<float>(TensorType::float32, {1, 1, 1}, {});
  EXPECT_EQ(concatenate({f, f}), nullptr);
  EXPECT_THROW(concatenate({}), std::invalid_argument);
  EXPECT_THROW(concatenate({a, nullptr}), std::invalid_argument);
  EXPECT_THROW(concatenate({a, i32({1, 2, 1}, {})}), std::runtime_error);  // storage types differ
}

// Each pixel's rows of the tensors in list order, for one to four tensors of odd and even
// channel counts, in each element size, random values in every element.
TEST(Elementwise, ConcatenateJoinsEachPixelsRows) {
  std::mt19937 gen(38);
  const auto pick = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(gen); };
  const TensorType types[] = {TensorType::int32, TensorType::int8, TensorType::uint8};
  // A tensor of `type` holding `v`, and element i of one as int32.
  const auto tensor = [](TensorType type, const Shape& shape, const std::vector<int32_t>& v) {
    if (type == TensorType::int8) return make<int8_t>(type, shape, {v.begin(), v.end()});
    if (type == TensorType::uint8) return make<uint8_t>(type, shape, {v.begin(), v.end()});
    return i32(shape, v);
  };
  const auto element = [](const Dense& d, size_t i) -> int32_t {
    if (d.type() == TensorType::int8) return d.data<int8_t>()[i];
    if (d.type() == TensorType::uint8) return d.data<uint8_t>()[i];
    return d.data<int32_t>()[i];
  };
  for (int round = 0; round < 24; ++round) {
    const TensorType type = types[round % 3];
    const uint32_t d0 = pick(1, 7), d1 = pick(1, 7);
    std::vector<std::shared_ptr<Dense>> tensors;
    for (int t = pick(1, 4); t > 0; --t) {
      const uint32_t width = round % 4 ? 2 * pick(0, 4) + 1 : pick(1, 70);
      std::vector<int32_t> v(size_t{d0} * d1 * width);
      for (int32_t& e : v)
        e = type == TensorType::int32 ? static_cast<int32_t>(gen())
                                      : pick(type == TensorType::int8 ? -128 : 0,
                                             type == TensorType::int8 ? 127 : 255);
      tensors.push_back(tensor(type, {d0, d1, width}, v));
    }
    std::vector<int32_t> want;
    for (size_t p = 0; p < size_t{d0} * d1; ++p)
      for (const auto& t : tensors)
        for (size_t c = 0, width = t->shape()[2]; c < width; ++c)
          want.push_back(element(*t, p * width + c));
    const auto joined = concatenate(tensors);
    ASSERT_EQ(joined->type(), type);
    ASSERT_EQ(joined->shape(), Shape({d0, d1, static_cast<uint32_t>(want.size() / d0 / d1)}));
    for (size_t i = 0; i < want.size(); ++i)
      ASSERT_EQ(element(*joined, i), want[i])
          << "round " << round << ", " << tensors.size() << " tensors, element " << i;
  }
}

TEST(Elementwise, FifoOnUint8AndWrongType) {
  auto fifo = u8({1, 2, 2}, {1, 2, 3, 4});
  fifo_op(*fifo, *u8({2}, {9, 8}));
  EXPECT_EQ(values<uint8_t>(*fifo), (std::vector<uint8_t>{2, 9, 4, 8}));
  EXPECT_THROW(fifo_op(*fifo, *i8({2}, {})), std::runtime_error);
  EXPECT_THROW(fifo_op(*i32({1, 1, 1}, {}), *i32({1}, {})), std::runtime_error);
}

TEST(Matmul, Int8AndLayoutOneB) {
  auto a = i32({1, 1, 2}, {3, -2});
  auto b8 = i8({2, 2}, {1, 2, 3, 4});
  EXPECT_EQ(values<int32_t>(*matmul(*a, *b8, 32, false)), (std::vector<int32_t>{-3, -2}));
  // A layout-1 tensor lists (K, N) = (2, 3) reversed over the same row-major memory.
  auto b_row = i32({2, 3}, {1, 2, 3, 4, 5, 6});
  auto b_col =
      make<int32_t>(TensorType::int32, {3, 2}, {1, 2, 3, 4, 5, 6}, Dense::Layout::ColMajor);
  EXPECT_EQ(values<int32_t>(*matmul(*a, *b_col, 32, false)), (std::vector<int32_t>{-5, -4, -3}));
  EXPECT_EQ(values<int32_t>(*matmul(*a, *b_row, 32, false)), (std::vector<int32_t>{-5, -4, -3}));
  EXPECT_THROW(matmul(*a, *make<int16_t>(TensorType::int16, {2, 2}, {}), 32, false),
               std::runtime_error);
}

TEST(Pooling, OneByOneReturnsTheSameTensor) {
  std::shared_ptr<Dense> x = i32({2, 2, 1}, {1, 2, 3, 4});
  EXPECT_EQ(max_pooling(x, 1, 1, false, 1, 1, 2, 2, 0, 0, 0, 0, 8), x);
  auto global = max_pooling(x, 0, 0, true, 1, 1, 1, 1, 0, 0, 0, 0, 32);
  EXPECT_EQ(values<int32_t>(*global), (std::vector<int32_t>{4}));
  EXPECT_THROW(max_pooling(nullptr, 2, 2, false, 1, 1, 1, 1, 0, 0, 0, 0, 8), std::invalid_argument);
}

TEST(Stateful, UnsignedShiftsAndOutputTypes) {
  auto x = i32({1, 2, 1}, {1, 2});
  auto one = make<int16_t>(TensorType::int16, {1}, {1});
  auto zero = make<int16_t>(TensorType::int16, {1}, {0});
  auto state = i32({1}, {0});
  auto [re, im] = stateful_main_op(*x, *u8({1}, {1}), *state, *state, *one, *zero, 32, 32);
  EXPECT_EQ(values<int32_t>(*re), (std::vector<int32_t>{2, 8}));  // (0+1)<<1, (2+2)<<1
  EXPECT_THROW(stateful_main_op(*x, *u8({1}, {40}), *state, *state, *one, *zero, 32, 32),
               std::runtime_error);
  auto y = i32({1, 1, 2}, {-5, 100});
  EXPECT_EQ(scale_out(*y, *u8({2}, {1, 1}), *i8({2}, {0, 0}), 4, 0)->type(), TensorType::uint8);
  EXPECT_EQ(values<uint8_t>(*scale_out(*y, *u8({2}, {1, 1}), *i8({2}, {0, 0}), 4, 0)),
            (std::vector<uint8_t>{0, 15}));
  EXPECT_EQ(values<int32_t>(*scale_out(*y, *u8({2}, {1, 1}), *i8({2}, {0, 0}), 12, 0)),
            (std::vector<int32_t>{-5, 100}));
  EXPECT_THROW(scale_out(*y, *make<uint16_t>(TensorType::uint16, {2}, {}), *i8({2}, {}), 8, 0),
               std::runtime_error);  // uint16 scales only for 16 bits
}

// Arbitrary window parameters straight from C++ must never reach outside a buffer. Under the
// sanitizers a stray access stops the test; in every build each call must either refuse
// with a message or return the asked output size, every value within what the buffers'
// own contents can make (a stray read of the heap would bring values from elsewhere).
TEST(OperationsRobustness, RandomGeometryStaysInBounds) {
  std::mt19937 gen(12345);
  auto pick = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(gen); };
  size_t results = 0, refusals = 0;
  for (int round = 0; round < 400; ++round) {
    const uint32_t X = pick(1, 5), Y = pick(1, 5), C = pick(1, 3), F = pick(1, 3);
    const uint32_t kx = pick(1, 4), ky = pick(1, 4);
    const int32_t level = pick(-3, 3);
    auto x = i32({X, Y, C}, std::vector<int32_t>(X * Y * C, level));
    auto x8 = u8({X, Y, C}, std::vector<uint8_t>(X * Y * C, 7));
    auto w = weights(kx, ky, C, F, pick(0, 1) ? Dense::Layout::ColMajor : Dense::Layout::RowMajor);
    auto dw = i8({kx, ky, C}, std::vector<int8_t>(kx * ky * C, 1));
    const int8_t sx = static_cast<int8_t>(pick(-2, 4)), sy = static_cast<int8_t>(pick(-2, 4));
    const int32_t px = pick(-3, 3), py = pick(-3, 3), pa = pick(-2, 2), pb = pick(-2, 2);
    const uint32_t ox = pick(0, 7), oy = pick(0, 7);
    // Sums of at most kx*ky*C products of an input (|value| <= 7) and an int8 weight.
    const int64_t sum_limit = int64_t{kx} * ky * C * 7 * 128;
    auto check = [&](const char* op, uint32_t channels, auto&& value_ok, auto&& call) {
      std::shared_ptr<Dense> out;
      try {
        out = call();
      } catch (const std::exception& refusal) {
        ++refusals;
        EXPECT_STRNE(refusal.what(), "") << op;
        return;
      }
      ++results;
      ASSERT_TRUE(out) << op;
      if (out == x) return;  // a 1x1 pool hands its input back
      ASSERT_EQ(out->shape(), Shape({ox, oy, channels})) << op << " round " << round;
      for (int32_t v : values<int32_t>(*out))
        ASSERT_TRUE(value_ok(int64_t{v})) << op << " round " << round << " value " << v;
    };
    auto within_sums = [&](int64_t v) { return v >= -sum_limit && v <= sum_limit; };
    // Only the input level or the lower clip bound of 8 bits (padding never wins).
    auto pooled = [&](int64_t v) { return v == std::clamp(level, -128, 127) || v <= -128; };
    check("conv2d", F, within_sums, [&] { return conv2d(*x, sx, sy, px, py, ox, oy, *w, 8); });
    check("depthwise_conv2d", C, within_sums,
          [&] { return depthwise_conv2d(*x, sx, sy, px, py, ox, oy, *dw); });
    check("input_conv2d", F, within_sums, [&] {
      return input_conv2d(*x8, *u8({C}, {}), sx, sy, py, pb, px, pa, ox, oy, kx, ky,
                          *flatten_weights(*w));
    });
    check("conv2d_transpose", F, within_sums, [&] {
      return conv2d_transpose(*x, *weights(kx, ky, C, F, Dense::Layout::RowMajor),
                              static_cast<uint8_t>(pick(0, 3)), px, py, ox, oy);
    });
    check("depthwise_conv2d_transpose", C, within_sums, [&] {
      return depthwise_conv2d_transpose(*x, *dw, static_cast<uint8_t>(pick(0, 3)), px, py, ox, oy);
    });
    check("max_pooling", C, pooled, [&] {
      return max_pooling(x, static_cast<int8_t>(kx), static_cast<int8_t>(ky), pick(0, 1), ox, oy,
                         sx, sy, py, pb, px, pa, 8);
    });
  }
  // Both roads are taken, so neither check above is vacuous.
  EXPECT_GT(results, 100u);
  EXPECT_GT(refusals, 100u);
}

}  // namespace
}  // namespace morla::ops
