// The v1 CNP weight and threshold words, whole, against short references written from the
// layouts' descriptions: random values over each width's full range, every kernel size,
// filter pieces that are not multiples of 8, one and many channels; and a mapped model whose
// program carries those words.
#include <gtest/gtest.h>

#include <string>
#include <tuple>

#include "backend/v1/cnp_registers.h"
#include "backend/v1/cnp_weight_packing.h"
#include "core/device_versions.h"
#include "engine_api/sequence.h"
#include "core/mesh.h"
#include "core/virtual_device.h"
#include "layout_refs_support.h"
#include "mapping/map_constraints.h"
#include "contract/layer_mapping.h"
#include "v1_test_support.h"

namespace morla::v1 {
namespace {

using layout_refs::Array4;
using layout_refs::Random;
using layout_refs::set_bit;
using Words = std::vector<uint32_t>;

uint32_t ceil_div(uint32_t a, uint32_t b) { return (a + b - 1) / b; }
uint32_t round_up(uint32_t a, uint32_t m) { return ceil_div(a, m) * m; }

// ---- References --------------------------------------------------------------------------

// Bit p of slot s of the slots starting at word `base`: word base + 2s + p / 32.
void set_slot_bit(Words& words, size_t base, uint32_t slot, uint32_t bit) {
  set_bit(words, base + 2 * size_t{slot}, bit);
}

// 4-bit standard weights: |v| mod 8 in bits 0-2, bit 3 for a positive value.
Words ref_four_bit(const Array4& w, uint32_t start, uint32_t count) {
  const uint32_t k = w.dims[3], channels = w.dims[1];
  const uint32_t f8 = round_up(count, 8);
  const uint32_t groups = round_up(k == 1 ? (4 * count + 47) / 48
                                          : f8 *
                                                (k == 3   ? 6
                                                 : k == 5 ? 16
                                                          : 42) /
                                                8,
                                   16);
  const uint32_t row = 2 * groups;
  const auto code = [](int v) { return uint32_t(std::abs(v) % 8) | (v > 0 ? 8u : 0u); };
  Words out(size_t{channels} * row, 0);
  for (uint32_t c = 0; c < channels; ++c) {
    if (k == 1) {
      for (uint32_t j = 0; j < count; ++j)
        for (uint32_t b = 0; b < 4; ++b)
          if (code(w(start + j, c, 0, 0)) >> b & 1)
            set_slot_bit(out, c * row, j / 12, (j % 12) * 4 + b);
      continue;
    }
    const uint32_t used = k == 3 ? 48 : 50, block_words = k == 3 ? 12 : k == 5 ? 32 : 84;
    for (uint32_t block = 0; block * 8 < count; ++block) {
      const size_t base = c * size_t{row} + block * block_words;
      uint32_t slot = 0, bit = 0;
      const auto next_group = [&] { ++slot, bit = 0; };
      for (uint32_t y = 0; y < k; ++y) {
        uint32_t filter_rows = 0;
        for (uint32_t i = 0; i < 8; ++i) {
          const uint32_t f = block * 8 + i;
          for (uint32_t x = 0; x < k; ++x)
            for (uint32_t b = 0; b < 4; ++b) {
              if (f < count && code(w(start + f, c, y, x)) >> b & 1)
                set_slot_bit(out, base, slot, bit);
              if (++bit == used) next_group();
            }
          if (k == 7 && ++filter_rows >= 3 && bit != 0) next_group(), filter_rows = 0;
        }
        if (k == 7 && bit != 0) next_group();
      }
    }
  }
  return out;
}

// 1- and 2-bit standard weights: a positive plane (value 1) and, with two planes, a
// negative one (value -1), one run of k x k bits per filter and plane.
Words ref_bit_planes(const Array4& w, bool two_planes, uint32_t start, uint32_t count) {
  const uint32_t k = w.dims[3], channels = w.dims[1];
  two_planes = two_planes || k == 1;
  const uint32_t per_slot = k == 1 ? 48 : k == 3 ? 5 : k == 5 ? 2 : 1;
  const uint32_t slots = round_up(ceil_div((two_planes ? 2 : 1) * round_up(count, 8), per_slot), 8);
  const uint32_t used = k == 1 ? 48 : 50, padding = (k == 3 || k == 7) ? 1 : 0;
  Words out(size_t{channels} * slots * 2, 0);
  for (uint32_t c = 0; c < channels; ++c) {
    uint32_t slot = 0, bit = 0, total = 0;
    for (uint32_t f = 0; f < count; ++f)
      for (int plane : {1, -1}) {
        if (plane == -1 && !two_planes) continue;
        for (uint32_t y = 0; y < k; ++y)
          for (uint32_t x = 0; x < k; ++x)
            if (w(start + f, c, y, x) == plane)
              set_slot_bit(out, c * size_t{slots} * 2, slot, bit + y * k + x);
        total += k * k + padding;
        if (total % used == 0)
          ++slot, bit = 0;
        else
          bit += k * k + padding;
      }
  }
  return out;
}

// Two's complement code of b bits (the 2-bit code for widths other than 4).
uint32_t twos(int v, int b) { return uint32_t(v) & ((1u << (b == 4 ? 4 : 2)) - 1); }

// Depthwise kernels of a separable CNP: kernel rows never straddle a 50-bit slot, and a
// kernel that no longer fits starts a new slot.
Words ref_depthwise(const Array4& w, int b) {
  const uint32_t channels = w.dims[1], k = w.dims[3], bits = uint32_t(b);
  const uint32_t g = 50 / (bits * k);
  const uint32_t slots = g >= 2 * k ? ceil_div(channels, g / k) : ceil_div(k, g) * channels;
  Words out(2 * size_t{slots}, 0);
  uint32_t slot = 0, cursor = 0;
  for (uint32_t c = 0; c < channels; ++c) {
    for (uint32_t y = 0; y < k; ++y) {
      if (cursor + k * bits > 50) ++slot, cursor = 0;
      for (uint32_t x = 0; x < k; ++x, cursor += bits)
        for (uint32_t i = 0; i < bits; ++i)
          if (twos(w(0, c, y, x), b) >> i & 1) set_slot_bit(out, 0, slot, cursor + i);
    }
    if (cursor + k * k * bits > 50) ++slot, cursor = 0;
  }
  return out;
}

// Pointwise weights: one row of 48-bit groups per input channel.
Words ref_pointwise(const Array4& w, int b, uint32_t start, uint32_t count) {
  const uint32_t rows = w.dims[1], bits = uint32_t(b);
  const uint32_t free_bits = bits * count % 48 == 0 ? 0 : 48 - bits * count % 48;
  const uint32_t groups =
      ceil_div(bits * count, 48) + (count % 8 != 0 && free_bits < 48 - (count % 8) * bits);
  Words out(size_t{rows} * groups * 2, 0);
  for (uint32_t r = 0; r < rows; ++r) {
    uint32_t slot = r * groups, cursor = 0;
    for (uint32_t j = 0; j < count; ++j) {
      for (uint32_t i = 0; i < bits; ++i)
        if (twos(w(start + j, r, 0, 0), b) >> i & 1) set_slot_bit(out, 0, slot, cursor + i);
      if (cursor + 2 * bits <= 48)
        cursor += bits;
      else
        ++slot, cursor = 0;
    }
  }
  return out;
}

// ---- Packers against the references -------------------------------------------------------

// A piece of a layer's filters: `count` of `filters` from `start`.
struct Piece {
  uint32_t filters, start, count;
};
const Piece kPieces[] = {{13, 0, 13}, {13, 5, 8}, {30, 3, 27}, {9, 8, 1}};

using WeightCase = std::tuple<uint32_t /*kernel*/, int /*bits*/, uint32_t /*channels*/, Piece>;

std::string weight_case_name(const testing::TestParamInfo<WeightCase>& info) {
  const auto& [k, b, c, p] = info.param;
  return std::string("k") + std::to_string(k) + "_b" + std::to_string(b) + "_c" +
         std::to_string(c) + "_f" + std::to_string(p.filters) + "_from" + std::to_string(p.start) +
         "_n" + std::to_string(p.count);
}

uint32_t seed_of(const WeightCase& c) {
  const auto& [k, b, channels, p] = c;
  return k * 1000003u + uint32_t(b) * 10007u + channels * 101u + p.start * 7u + p.count;
}

// The tensor type of each weight width and its range: the whole type for the packers, less
// the lowest value for a v1 layer's variables (which refuse -8 and -2).
struct Width {
  TensorType type;
  int low, high, layer_low;
};
Width width_of(int bits) {
  return bits == 4   ? Width{TensorType::int4, -8, 7, -7}
         : bits == 2 ? Width{TensorType::int2, -2, 1, -1}
                     : Width{TensorType::bit, 0, 1, 0};
}

class StandardCnpWeights : public testing::TestWithParam<WeightCase> {};

TEST_P(StandardCnpWeights, EqualTheReference) {
  const auto& [k, b, channels, piece] = GetParam();
  Random random(seed_of(GetParam()));
  const Width width = width_of(b);
  const Array4 w(piece.filters, channels, k, k, random, width.low, width.high);
  const auto tensor = w.tensor(width.type, Dense::Layout::ColMajor);
  if (b == 4)
    EXPECT_EQ(pack_cnp_weights(*tensor, piece.start, piece.count),
              ref_four_bit(w, piece.start, piece.count));
  else
    EXPECT_EQ(format_cnp_weights(*tensor, b == 2, piece.start, piece.count),
              ref_bit_planes(w, b == 2, piece.start, piece.count));
}

INSTANTIATE_TEST_SUITE_P(Layouts, StandardCnpWeights,
                         testing::Combine(testing::Values(1u, 3u, 5u, 7u), testing::Values(1, 2, 4),
                                          testing::Values(1u, 3u, 10u), testing::ValuesIn(kPieces)),
                         weight_case_name);

class SeparableCnpWeights : public testing::TestWithParam<WeightCase> {};

TEST_P(SeparableCnpWeights, EqualTheReference) {
  const auto& [k, b, channels, piece] = GetParam();
  Random random(seed_of(GetParam()));
  const Width width = width_of(b);
  const Array4 depthwise(1, channels, k, k, random, width.low, width.high);
  const Array4 pointwise(piece.filters, channels, 1, 1, random, width.low, width.high);
  EXPECT_EQ(format_depthwise_weights(*depthwise.tensor(width.type, Dense::Layout::ColMajor), b),
            ref_depthwise(depthwise, b));
  const auto pw = pointwise.tensor(width.type, Dense::Layout::ColMajor);
  // The engine keeps pointwise weights as (filters, channels).
  std::shared_ptr<Dense> flat(
      Dense::create(width.type, Shape{piece.filters, channels}, Dense::Layout::ColMajor));
  std::memcpy(flat->buffer().mutable_data(), pw->buffer().data(), pw->buffer().size());
  EXPECT_EQ(format_pointwise_weights(*flat, b, piece.start, piece.count),
            ref_pointwise(pointwise, b, piece.start, piece.count));
}

INSTANTIATE_TEST_SUITE_P(Layouts, SeparableCnpWeights,
                         testing::Combine(testing::Values(3u, 5u, 7u), testing::Values(2, 4),
                                          testing::Values(1u, 3u, 10u, 31u),
                                          testing::ValuesIn(kPieces)),
                         weight_case_name);

// Threshold words: a signed 20-bit threshold (0x80000 without activation), then the step.
TEST(CnpThresholdWords, EqualTheReference) {
  Random random(7);
  const uint32_t neurons = 21;
  auto threshold = Dense::create(TensorType::int32, Shape{neurons}, Dense::Layout::RowMajor);
  auto step = Dense::create(TensorType::int32, Shape{neurons}, Dense::Layout::RowMajor);
  for (uint32_t n = 0; n < neurons; ++n) {
    threshold->set<int32_t>(n, int32_t(random(-0x80000, 0x7FFFF)));
    step->set<int32_t>(n, int32_t(random(0, 0xFFFFF)));
  }
  for (bool activation : {true, false})
    for (const Piece& p : {Piece{0, 0, 21}, Piece{0, 5, 9}, Piece{0, 20, 1}}) {
      Words expected;
      for (uint32_t n = p.start; n < p.start + p.count; ++n) {
        expected.push_back(activation ? uint32_t(threshold->get<int32_t>(n)) & 0xFFFFF : 0x80000);
        expected.push_back(uint32_t(step->get<int32_t>(n)));
      }
      EXPECT_EQ(build_cnp_threshold_words(*threshold, *step, activation, p.start, p.count),
                expected)
          << activation << " " << p.start;
    }
}

// ---- A mapped model ----------------------------------------------------------------------

using v1_test::Entries;
using v1_test::make_layer;

// InputConvolutional 16 x 16 x 1 with 8 filters, then a Convolutional or a
// SeparableConvolutional of random weights, mapped on a virtual Orbi_v2 with an HRC and
// three NPs, 8 filters an NP at most: the program holds the reference words of every NP's
// filters.
struct MappedCase {
  LayerType type;
  uint32_t kernel;
  int bits;
  uint32_t filters;
};

std::vector<MappedCase> mapped_cases() {
  std::vector<MappedCase> cases;
  for (uint32_t filters : {8u, 13u}) {
    for (uint32_t k : {1u, 3u, 5u, 7u})
      for (int b : {1, 2, 4}) cases.push_back({LayerType::Convolutional, k, b, filters});
    for (uint32_t k : {3u, 5u, 7u})
      for (int b : {2, 4}) cases.push_back({LayerType::SeparableConvolutional, k, b, filters});
  }
  return cases;
}

std::string mapped_case_name(const testing::TestParamInfo<MappedCase>& info) {
  const MappedCase& c = info.param;
  return std::string(c.type == LayerType::Convolutional ? "conv" : "separable") + "_k" +
         std::to_string(c.kernel) + "_b" + std::to_string(c.bits) + "_f" +
         std::to_string(c.filters);
}

class MappedCnpWeights : public testing::TestWithParam<MappedCase> {};

TEST_P(MappedCnpWeights, ProgramHoldsTheReferenceWords) {
  const auto& [type, k, b, filters] = GetParam();
  const uint32_t channels = 8;
  std::shared_ptr<Model> model = Model::create();
  const auto hrc = make_layer(LayerType::InputConvolutional,
                              {{"input_width", 16},
                               {"input_height", 16},
                               {"input_channels", 1},
                               {"kernel_width", 3},
                               {"kernel_height", 3},
                               {"filters", int(channels)}},
                              "hrc");
  const auto conv = make_layer(type,
                               {{"kernel_width", int(k)},
                                {"kernel_height", int(k)},
                                {"filters", int(filters)},
                                {"weights_bits", b}},
                               "conv");
  model->add(hrc, {});
  model->add(conv, {hrc});
  v1_test::fill<int8_t>(*hrc, "weights", 1);
  Random random(k * 10 + uint32_t(b) + filters * 1000);
  const Width width = width_of(b);
  const bool separable = type == LayerType::SeparableConvolutional;
  // Standard weights, or the depthwise kernels and the pointwise (filters, channels).
  const Array4 w(separable ? 1 : filters, channels, k, k, random, width.layer_low, width.high);
  const Array4 pw(filters, channels, 1, 1, random, width.layer_low, width.high);
  conv->variables().set("weights", w.tensor(width.type, Dense::Layout::ColMajor));
  if (separable) {
    std::shared_ptr<Dense> flat(
        Dense::create(width.type, Shape{filters, channels}, Dense::Layout::ColMajor));
    std::memcpy(flat->buffer().mutable_data(),
                pw.tensor(width.type, Dense::Layout::ColMajor)->buffer().data(),
                flat->buffer().size());
    conv->variables().set("weights_pw", flat);
  }

  using np::Info;
  const Mesh mesh(IpVersion::v1, hw::Ident{1, 1, 0, 0}, hw::Ident{1, 1, 1, 0}, Info::hrc(false),
                  {Info{hw::Ident{1, 2, 0, 0}, {hw::Type::CNP1}, true},
                   Info{hw::Ident{2, 1, 0, 0}, {hw::Type::CNP1}, true},
                   Info{hw::Ident{2, 2, 0, 0}, {hw::Type::CNP1, hw::Type::FNP3}, true}},
                  {});
  const auto device = make_virtual_device(devices::Orbi_v2, mesh);
  const auto constraints = std::make_shared<MapConstraints>(device);
  constraints->set_cnp_max_filters(8);
  model->map(device, true, constraints);
  ASSERT_EQ(model->sequences().size(), 1u);
  const ByteRange program = model->sequences()[0]->program();
  const auto holds = [&](const Words& words) {
    return layout_refs::holds_words(program.data, program.size, words);
  };
  const LayerMapping& mapping = require_layer_mapping(*conv);
  ASSERT_EQ(mapping.nps->size(), (filters + 7) / 8);
  if (separable) {
    EXPECT_TRUE(holds(ref_depthwise(w, b)));
  }
  for (const hw::Component& np : *mapping.nps) {
    const hw::NpBlock& piece = np.np_block.value();
    const uint32_t first = piece.start_neuron, count = piece.filters;
    EXPECT_TRUE(holds(separable ? ref_pointwise(pw, b, first, count)
                      : b == 4  ? ref_four_bit(w, first, count)
                                : ref_bit_planes(w, b == 2, first, count)))
        << "filters " << first << " + " << count;
  }
}

INSTANTIATE_TEST_SUITE_P(Layouts, MappedCnpWeights, testing::ValuesIn(mapped_cases()),
                         mapped_case_name);

}  // namespace
}  // namespace morla::v1
