// The element-wise operations on every vector path the CPU has, bit for bit against the
// portable loops and against the scalar rules, over channel counts that leave partial
// vectors and rows, and over values up to the int32 limits.
#include <gtest/gtest.h>
#include <sys/mman.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <functional>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "engine/dense_slice.h"
#include "ops/clip.h"
#include "ops/elementwise.h"
#include "ops/kernel_path.h"
#include "ops/padding.h"
#include "ops/pooling.h"
#include "ops/shift.h"
#include "ops/stateful.h"
#include "ops_test_support.h"

namespace morla {
namespace {

using ops::kernels::KernelPath;
using namespace ops_test;

std::vector<uint8_t> bytes_of(const Dense& d) {
  const auto* p = static_cast<const uint8_t*>(d.buffer().data());
  return std::vector<uint8_t>(p, p + d.buffer().size());
}

class ElementwisePaths : public ::testing::TestWithParam<KernelPath> {
 protected:
  void SetUp() override {
    if (!ops::kernels::cpu_supports(GetParam()))
      GTEST_SKIP() << "this CPU has no " << ops::kernels::path_name(GetParam());
  }
  void TearDown() override { ops::kernels::limit_path(KernelPath::avx512_vnni); }

  int64_t pick(int64_t low, int64_t high) {
    return std::uniform_int_distribution<int64_t>(low, high)(gen_);
  }
  std::vector<int32_t> values(size_t n) { return spread_int32(gen_, n); }
  template <typename T>
  std::shared_ptr<Dense> filled(TensorType type, const Shape& s, int64_t low, int64_t high) {
    std::vector<T> v(s.element_count());
    for (T& e : v) e = static_cast<T>(pick(low, high));
    return make<T>(type, s, v);
  }

  // The operation on the path under test against the portable loops, byte for byte, and
  // against `reference` (element i of the result as int64) when given.
  void check(const std::string& what, const std::function<std::shared_ptr<Dense>()>& op,
             const std::function<int64_t(size_t)>& reference = nullptr) {
    ops::kernels::limit_path(KernelPath::portable);
    const auto expected = op();
    ops::kernels::limit_path(GetParam());
    const auto got = op();
    ASSERT_EQ(got->type(), expected->type()) << what;
    ASSERT_EQ(got->shape(), expected->shape()) << what;
    ASSERT_EQ(bytes_of(*got), bytes_of(*expected)) << what;
    if (!reference) return;
    for (size_t i = 0; i < got->size(); ++i) {
      int64_t v = 0;
      switch (storage_type(got->type())) {
        case StorageType::uint8: v = got->data<uint8_t>()[i]; break;
        case StorageType::int8: v = got->data<int8_t>()[i]; break;
        case StorageType::int16: v = got->data<int16_t>()[i]; break;
        default: v = got->data<int32_t>()[i]; break;
      }
      ASSERT_EQ(v, reference(i)) << what << " element " << i;
    }
  }

  std::mt19937_64 gen_{27};
};

TEST_P(ElementwisePaths, ShiftsScalesAndNeuronsMatchTheRules) {
  for (int round = 0; round < 40; ++round) {
    // Channels of whole blocks (multiples of 64) run the output scale without repeating rows,
    // over images of several tiles of the pass (16 KB of inputs each).
    const bool blocks = round % 8 == 3;
    const uint32_t C = static_cast<uint32_t>(round % 8 == 7 ? pick(250, 300)
                                             : blocks       ? 64 * pick(1, 3)
                                                            : pick(1, 70));
    const int64_t side = blocks ? 24 : 9;
    const auto X = static_cast<uint32_t>(pick(1, side)), Y = static_cast<uint32_t>(pick(1, side));
    const Shape shape{X, Y, C};
    const std::vector<int32_t> xv = values(shape.element_count());
    const auto x = i32(shape, xv);
    const std::string where = "round " + std::to_string(round) + " C=" + std::to_string(C);
    const int32_t bits = static_cast<int32_t>(pick(0, 2) == 0 ? 32 : pick(2, 40));
    const auto clip32 = [&](int64_t v, int32_t b) { return ops::saturate_int32(ops::clip(v, b)); };

    const auto signed_shifts = filled<int8_t>(TensorType::int8, {C}, -31, 31);
    const auto left_shifts = filled<uint8_t>(TensorType::uint8, {C}, 0, pick(0, 1) ? 0 : 31);
    const int8_t* ss = signed_shifts->data<int8_t>();
    const uint8_t* ls = left_shifts->data<uint8_t>();
    check(
        "lshift " + where, [&] { return ops::lshift(*x, *left_shifts, bits); },
        [&](size_t i) { return clip32(ops::lshift_saturate(xv[i], ls[i % C]), bits); });
    check(
        "shift " + where, [&] { return ops::shift(*x, *signed_shifts, bits); },
        [&](size_t i) { return clip32(ops::shift_floor(xv[i], ss[i % C]), bits); });
    check(
        "rshift_round " + where,
        [&] { return ops::rshift_round_per_channel(*x, *left_shifts, bits); },
        [&](size_t i) { return clip32(ops::rshift_round(xv[i], ls[i % C]), bits); });
    const int32_t out_bits = static_cast<int32_t>(std::array{3, 8, 11, 16, 32}[pick(0, 4)]);
    check(
        "shift_out " + where, [&] { return ops::shift_out(*x, *signed_shifts, out_bits); },
        [&](size_t i) {
          const int64_t v = clip32(ops::shift_round(xv[i], ss[i % C]), out_bits);
          return out_bits <= 8 ? int64_t{static_cast<int8_t>(v)} : v;
        });

    // scale_out: clip(scale * x) to the accumulator, the rounded shift, the output's range.
    const uint8_t acc_bits = static_cast<uint8_t>(pick(0, 1) ? 32 : pick(12, 31));
    const auto scales = out_bits == 16 && pick(0, 1)
                            ? filled<uint16_t>(TensorType::uint16, {C}, 0, 65535)
                            : filled<uint8_t>(TensorType::uint8, {C}, 0, 255);
    // Shifts left and right, or right only (every channel rounding), each amount the op
    // allows; scales from 0 to their largest, both ends in every round.
    const auto scale_shifts =
        filled<int8_t>(TensorType::int8, {C}, -31, round % 2 ? -1 : pick(0, 1) ? 0 : 31);
    if (C > 1) {
      const int64_t top = scales->type() == TensorType::uint16 ? 65535 : 255;
      for (const int64_t edge : {int64_t{0}, top}) {
        const size_t c = static_cast<size_t>(pick(0, C - 1));
        if (scales->type() == TensorType::uint16)
          scales->mutable_data<uint16_t>()[c] = static_cast<uint16_t>(edge);
        else
          scales->mutable_data<uint8_t>()[c] = static_cast<uint8_t>(edge);
      }
    }
    const auto scale_of = [&](size_t c) -> int64_t {
      return scales->type() == TensorType::uint16 ? scales->data<uint16_t>()[c]
                                                  : scales->data<uint8_t>()[c];
    };
    check(
        "scale_out " + where,
        [&] { return ops::scale_out(*x, *scales, *scale_shifts, out_bits, acc_bits); },
        [&](size_t i) {
          const size_t c = i % C;
          const int64_t v = ops::shift_round(ops::clip(scale_of(c) * xv[i], acc_bits),
                                             scale_shifts->data<int8_t>()[c]);
          if (out_bits < 5) return std::clamp<int64_t>(v, 0, (1 << out_bits) - 1);
          if (out_bits == 16) return std::clamp<int64_t>(v, INT16_MIN, INT16_MAX);
          return int64_t{clip32(v, out_bits)};
        });

    const auto maxima = i32({C}, values(C));
    check(
        "relu_activation " + where, [&] { return ops::relu_activation(*x, *maxima); },
        [&](size_t i) {
          const int64_t v = std::min(xv[i], maxima->data<int32_t>()[i % C]);
          return v >= 1 ? v : 0;
        });
    const auto lut = i32({2048}, values(2048));
    const auto index = filled<int32_t>(TensorType::int32, shape, -1024, 1023);
    check(
        "look_up " + where, [&] { return ops::look_up(*lut, *index); },
        [&](size_t i) { return int64_t{lut->data<int32_t>()[1024 + index->data<int32_t>()[i]]}; });
    std::vector<int32_t> outside(index->data<int32_t>(), index->data<int32_t>() + index->size());
    outside[static_cast<size_t>(pick(0, static_cast<int64_t>(outside.size()) - 1))] =
        pick(0, 1) ? 1024 : -1025;
    ops::kernels::limit_path(GetParam());
    EXPECT_THROW(ops::look_up(*lut, *i32(shape, outside)), std::out_of_range) << where;
  }
}

TEST_P(ElementwisePaths, AddsAndPoolingMatchTheRules) {
  for (int round = 0; round < 30; ++round) {
    const uint32_t C = static_cast<uint32_t>(pick(1, 130));
    const uint32_t X = static_cast<uint32_t>(pick(1, 12)), Y = static_cast<uint32_t>(pick(1, 12));
    const Shape shape{X, Y, C};
    const std::string where = "round " + std::to_string(round) + " C=" + std::to_string(C);
    const std::vector<int32_t> av = values(shape.element_count()), bv = values(C);
    const auto a = i32(shape, av);
    const int32_t bits =
        static_cast<int32_t>(pick(0, 1) ? pick(4, 31) : std::array{32, 0, 33, 64}[pick(0, 3)]);
    check(
        "add " + where, [&] { return ops::add(*a, *i32({C}, bv), bits); },
        [&](size_t i) { return ops::saturate_int32(ops::clip(int64_t{av[i]} + bv[i % C], bits)); });

    // The Add layer's sum from 8-bit or 32-bit inputs of either signedness.
    const TensorType types[] = {TensorType::int8, TensorType::uint8, TensorType::int32};
    const auto input = [&](TensorType type) {
      if (type == TensorType::int8) return filled<int8_t>(type, shape, -128, 127);
      if (type == TensorType::uint8) return filled<uint8_t>(type, shape, 0, 255);
      return i32(shape, values(shape.element_count()));
    };
    const auto p = input(types[pick(0, 2)]), q = input(types[pick(0, 2)]);
    const auto a_shifts = filled<uint8_t>(TensorType::uint8, {C}, 0, 12);
    const auto b_shifts = filled<uint8_t>(TensorType::uint8, {C}, 0, 12);
    const auto out_shifts = filled<int8_t>(TensorType::int8, {C}, -20, 2);
    const int32_t out_bits = pick(0, 1) ? 8 : 20;
    const auto wide = [](const Dense& d, size_t i) -> int64_t {
      switch (storage_type(d.type())) {
        case StorageType::int8: return d.data<int8_t>()[i];
        case StorageType::uint8: return d.data<uint8_t>()[i];
        default: return d.data<int32_t>()[i];
      }
    };
    check(
        "shifted_add " + where,
        [&] { return ops::shifted_add(*p, *q, *a_shifts, *b_shifts, *out_shifts, out_bits, bits); },
        [&](size_t i) {
          const size_t c = i % C;
          const auto lsh = [&](int64_t v, uint8_t s) -> int64_t {
            return ops::saturate_int32(ops::clip(ops::lshift_saturate(v, s), bits));
          };
          const int64_t sum =
              ops::saturate_int32(ops::clip(lsh(wide(*p, i), a_shifts->data<uint8_t>()[c]) +
                                                lsh(wide(*q, i), b_shifts->data<uint8_t>()[c]),
                                            bits));
          const int64_t v = ops::saturate_int32(
              ops::clip(ops::shift_round(sum, out_shifts->data<int8_t>()[c]), out_bits));
          return out_bits <= 8 ? int64_t{static_cast<int8_t>(v)} : v;
        });

    check(
        "global_average_pooling " + where, [&] { return ops::global_average_pooling(a, bits); },
        [&](size_t c) {
          int64_t sum = 0;
          for (size_t i = c; i < av.size(); i += C)
            sum = ops::saturate_int32(ops::clip(sum + av[i], bits));
          return sum;
        });
  }
}

// Tables of 2^31 entries and more, up to the longest a dimension holds, over address space
// reserved but never touched except at the entries the indices read.
TEST_P(ElementwisePaths, LookUpReadsTablesOfEveryLength) {
  for (const uint64_t length : {uint64_t{1} << 31, (uint64_t{1} << 31) + 2, uint64_t{UINT32_MAX}}) {
    const size_t bytes = length * sizeof(int32_t);
    void* reserved = mmap(nullptr, bytes, PROT_READ | PROT_WRITE,
                          MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (reserved == MAP_FAILED) GTEST_SKIP() << "no " << bytes << " bytes of address space";
    std::shared_ptr<uint8_t[]> block(static_cast<uint8_t*>(reserved),
                                     [bytes](uint8_t* p) { munmap(p, bytes); });
    const auto lut = std::make_shared<engine::DenseSlice>(
        TensorType::int32, Shape{static_cast<uint32_t>(length)}, Dense::Layout::RowMajor, block,
        block.get(), bytes);
    int32_t* table = lut->mutable_data<int32_t>();
    const int64_t half = static_cast<int64_t>(length / 2);
    const std::string where = "L=" + std::to_string(length);

    // Both ends and random indices between, vectors and a tail of them; every entry read
    // holds a random value.
    std::vector<int32_t> index(37);
    for (int32_t& v : index) v = static_cast<int32_t>(pick(-half, half - 1));
    index[3] = static_cast<int32_t>(-half);
    index[20] = static_cast<int32_t>(half - 1);
    for (const int32_t v : index)
      table[half + v] = static_cast<int32_t>(pick(INT32_MIN, INT32_MAX));
    const auto indices = i32({1, 37}, index);
    ops::kernels::limit_path(GetParam());
    const auto got = ops::look_up(*lut, *indices);
    ASSERT_EQ(got->shape(), indices->shape()) << where;
    for (size_t i = 0; i < index.size(); ++i)
      ASSERT_EQ(got->data<int32_t>()[i], table[half + index[i]]) << where << " element " << i;

    for (const int64_t outside : {-half - 1, half, int64_t{INT32_MIN}, int64_t{INT32_MAX}}) {
      std::vector<int32_t> one_outside = index;
      one_outside[static_cast<size_t>(pick(0, 36))] = static_cast<int32_t>(outside);
      EXPECT_THROW(ops::look_up(*lut, *i32({1, 37}, one_outside)), std::out_of_range)
          << where << " index " << outside;
    }
  }
}

// Max pooling by its definition: every output starts at the lower clip bound (at least
// INT32_MIN); each real position of the padded input raises every window that holds it to at
// least its clipped value. `reached` counts, per output pixel, the positions that did.
std::vector<int64_t> pooled_by_definition(const std::vector<int32_t>& in, const Shape& shape,
                                          int64_t pool_x, int64_t pool_y,
                                          const ops::PaddingInfo& g, int32_t bits,
                                          std::vector<int>& reached) {
  const int64_t X = shape[0], Y = shape[1], C = shape[2];
  const int64_t sx = g.stride_x, sy = g.stride_y, out_x = g.out_x, out_y = g.out_y;
  std::vector<int64_t> out(static_cast<size_t>(out_x * out_y * C),
                           std::max<int64_t>(ops::clip_range(bits).low, INT32_MIN));
  reached.assign(static_cast<size_t>(out_x * out_y), 0);
  const int64_t dx = std::max<int64_t>(0, pool_x - sx), dy = std::max<int64_t>(0, pool_y - sy);
  for (int64_t x = 0; x < X + g.pad_x_before + g.pad_x_after; ++x)
    for (int64_t y = 0; y < Y + g.pad_y_before + g.pad_y_after; ++y) {
      if (x < g.pad_x_before || x >= X + g.pad_x_before || y < g.pad_y_before ||
          y >= Y + g.pad_y_before)
        continue;
      const int64_t ox0 = x > dx ? (x - dx) / sx : 0, ox1 = std::min(out_x - 1, x / sx);
      const int64_t oy0 = y > dy ? (y - dy) / sy : 0, oy1 = std::min(out_y - 1, y / sy);
      const int64_t at = ((x - g.pad_x_before) * Y + (y - g.pad_y_before)) * C;
      for (int64_t ox = ox0; ox <= ox1; ++ox)
        for (int64_t oy = oy0; oy <= oy1; ++oy) {
          ++reached[static_cast<size_t>(ox * out_y + oy)];
          for (int64_t c = 0; c < C; ++c) {
            int64_t& kept = out[static_cast<size_t>((ox * out_y + oy) * C + c)];
            kept = std::max(kept, ops::clip(in[static_cast<size_t>(at + c)], bits));
          }
        }
    }
  return out;
}

// Window placements of every padding mode, pools smaller and larger than their strides, and
// windows that hold padding only (an even size under SameUpper with stride 1 leaves the last
// one so): every output written, whatever the memory held.
TEST_P(ElementwisePaths, MaxPoolingMatchesItsDefinition) {
  const Padding modes[] = {Padding::Valid, Padding::Same, Padding::SameUpper};
  size_t padding_only = 0;
  for (int round = 0; round < 60; ++round) {
    const uint32_t C = static_cast<uint32_t>(round % 6 == 5 ? pick(120, 140) : pick(1, 70));
    const Shape shape{static_cast<uint32_t>(pick(1, 12)), static_cast<uint32_t>(pick(1, 12)), C};
    const int64_t pool_x = pick(1, 5), pool_y = pick(pool_x == 1 ? 2 : 1, 5);
    const Padding mode = modes[pick(0, 2)];
    ops::PaddingInfo g{};
    try {
      g = ops::compute_padding(static_cast<uint32_t>(pool_x), static_cast<uint32_t>(pool_y),
                               static_cast<int32_t>(pick(1, 4)), static_cast<int32_t>(pick(1, 4)),
                               mode, shape);
    } catch (const std::runtime_error&) {
      continue;  // Valid with an input smaller than the pool
    }
    const int32_t bits =
        static_cast<int32_t>(pick(0, 1) ? pick(4, 31) : std::array{32, 0, 33, 64}[pick(0, 3)]);
    const std::vector<int32_t> in = values(shape.element_count());
    const auto tensor = i32(shape, in);
    std::vector<int> reached;
    const std::vector<int64_t> want =
        pooled_by_definition(in, shape, pool_x, pool_y, g, bits, reached);
    padding_only += static_cast<size_t>(std::count(reached.begin(), reached.end(), 0));
    check(
        "max_pooling round " + std::to_string(round) + " C=" + std::to_string(C),
        [&] {
          return ops::max_pooling(tensor, static_cast<int8_t>(pool_x),
                                  static_cast<int8_t>(pool_y), false, g.out_x, g.out_y,
                                  static_cast<int8_t>(g.stride_x), static_cast<int8_t>(g.stride_y),
                                  g.pad_y_before, g.pad_y_after, g.pad_x_before, g.pad_x_after,
                                  bits);
        },
        [&](size_t i) { return want[i]; });
  }
  EXPECT_GT(padding_only, 0u) << "no window of padding only was tried";
}

INSTANTIATE_TEST_SUITE_P(Paths, ElementwisePaths,
                         ::testing::Values(KernelPath::portable, KernelPath::avx2,
                                           KernelPath::avx512),
                         [](const auto& info) {
                           return std::string(ops::kernels::path_name(info.param));
                         });

}  // namespace
}  // namespace morla
