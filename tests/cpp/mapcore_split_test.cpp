// Axis cuts, factor triples, the factor search (against a direct transcription of the
// search on random small layers) and the components of a split layer.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <set>
#include <tuple>
#include <vector>

#include "mapcore_test_support.h"
#include "mapping/split_strategies.h"

namespace morla {
namespace {

using mapcore_test::Graph;
using mapcore_test::WordChecker;
using Triple = std::tuple<uint32_t, uint32_t, uint32_t>;

TEST(SplitAxis, Cuts) {
  // Width 100, limit 32, max pooling 2: four pieces of 26.
  EXPECT_EQ(split_axis(100, 32, 2), (AxisSplit{4, 26, 100, 32, 2}));
  EXPECT_EQ(split_axis(20, 32, 2), (AxisSplit{1, 20, 20, 32, 2}));
  EXPECT_EQ(split_axis(0, 32, 1), (AxisSplit{0, 0, 0, 32, 1}));
  // Align above the limit: the axis cannot be cut; so can't a limit of 0.
  EXPECT_EQ(split_axis(10, 3, 4), (AxisSplit{0, 0, 0, 0, 0}));
  EXPECT_EQ(split_axis(10, 0, 1), (AxisSplit{0, 0, 0, 0, 0}));
  // Rounding 6 up to 8 passes the limit 7: pieces of 4.
  EXPECT_EQ(split_axis(12, 7, 4), (AxisSplit{3, 4, 12, 7, 4}));
}

TEST(FactorTriples, TwelveInDescendingOrder) {
  const std::vector<Triple> expected = {{12, 1, 1}, {6, 2, 1}, {6, 1, 2},  {4, 3, 1}, {4, 1, 3},
                                        {3, 4, 1},  {3, 2, 2}, {3, 1, 4},  {2, 6, 1}, {2, 3, 2},
                                        {2, 2, 3},  {2, 1, 6}, {1, 12, 1}, {1, 6, 2}, {1, 4, 3},
                                        {1, 3, 4},  {1, 2, 6}, {1, 1, 12}};
  EXPECT_EQ(factor_triples(12), expected);
  EXPECT_TRUE(factor_triples(0).empty());
  EXPECT_EQ(factor_triples(1), (std::vector<Triple>{{1, 1, 1}}));
}

// The search as the mapping tools describe it, transcribed directly: every count from the
// minimum up, the triples built from divisor pairs through a sorted set.
std::vector<Triple> direct_triples(uint32_t n) {
  std::set<Triple> sorted;
  for (uint32_t d = 1; d * d <= n; ++d) {
    if (n % d) continue;
    for (uint32_t member : {d, n / d}) {
      const uint32_t other = n / member;
      for (uint32_t e = 1; e * e <= member; ++e) {
        if (member % e) continue;
        std::vector<uint32_t> t = {other, e, member / e};
        std::sort(t.rbegin(), t.rend());
        sorted.emplace(t[0], t[1], t[2]);
      }
    }
  }
  std::set<Triple> all;
  for (const auto& [a, b, c] : sorted) {
    std::vector<uint32_t> t = {a, b, c};
    std::sort(t.begin(), t.end());
    do all.emplace(t[0], t[1], t[2]);
    while (std::next_permutation(t.begin(), t.end()));
  }
  return std::vector<Triple>(all.rbegin(), all.rend());
}

SplitPlan direct_search(const SplitSearch& s, const CompatibilityChecker& checker,
                        const AxisSplit& width, const AxisSplit& height, const AxisSplit& neurons) {
  const uint64_t t_min = uint64_t{width.count} * height.count * neurons.count;
  const uint64_t t_max = uint64_t{width.total} * height.total * neurons.total;
  for (uint64_t t = t_min; t <= t_max; ++t) {
    for (const auto& [x, y, z] : direct_triples(static_cast<uint32_t>(t))) {
      if (x < width.count || y < height.count || z < neurons.count) continue;
      if (!s.allow_height && y != 1) continue;
      AxisSplit cut[3] = {width, height, neurons};
      const uint32_t factors[3] = {x, y, z};
      bool skip = false;
      for (int a = 0; a < 3 && !skip; ++a) {
        const uint32_t f = factors[a];
        if (f > cut[a].total) {
          skip = true;
          break;
        }
        cut[a].count = f;
        cut[a].piece = (cut[a].total + f - 1) / f;
        if (f >= 2 && cut[a].align >= 2) {
          cut[a].piece = (cut[a].piece + cut[a].align - 1) / cut[a].align * cut[a].align;
          if (cut[a].piece > cut[a].limit) {
            cut[a].piece -= cut[a].align;
            cut[a].count = (cut[a].total + cut[a].piece - 1) / cut[a].piece;
          }
        }
        if ((cut[a].count - 1) * cut[a].piece >= cut[a].total) skip = true;
      }
      if (skip) continue;
      const AxisSplit& n = cut[2];
      if (s.tnp_b && s.per_channel && n.count > 1 &&
          (n.total - n.piece * (n.count - 1)) % n.align != 0)
        continue;
      const auto extent = [](const AxisSplit& c, uint32_t lead, uint32_t trail) {
        return c.piece + (c.count == 1 ? 0 : c.count == 2 ? std::max(lead, trail) : lead + trail);
      };
      const uint32_t tw = extent(cut[0], s.geometry.left_halo, s.geometry.right_halo);
      const uint32_t th = extent(cut[1], s.geometry.top_halo, s.geometry.bottom_halo);
      const uint32_t tc = s.per_channel ? n.piece : s.channels;
      BufferMode mode = BufferMode::None;
      if (checker.fits_dual_buffer(s.type, th, tw, tc, s.fifo_size, s.input_bits, s.reserved_words))
        mode = BufferMode::Dual;
      else if (!s.loop_itself && checker.fits_single_buffer(s.type, th, tw, tc, s.fifo_size,
                                                            s.input_bits, s.reserved_words))
        mode = BufferMode::Single;
      if (mode != BufferMode::None) return SplitPlan{true, cut[0], cut[1], cut[2], mode};
    }
  }
  return SplitPlan{};
}

TEST(FactorSearch, SameTriplesAsTheSetConstruction) {
  for (uint32_t n = 1; n <= 400; ++n) ASSERT_EQ(factor_triples(n), direct_triples(n)) << n;
}

TEST(FactorSearch, SamePlansAsTheDirectSearchOnRandomSmallLayers) {
  std::mt19937 rng(20261207);
  auto pick = [&rng](uint32_t lo, uint32_t hi) {
    return std::uniform_int_distribution<uint32_t>(lo, hi)(rng);
  };
  int found = 0, refused = 0;
  for (int i = 0; i < 300; ++i) {
    const uint32_t kernel = pick(1, 7);
    const bool pooled = pick(0, 3) == 0;
    const uint32_t pool = pooled ? pick(2, 3) : 1;
    SplitSearch s;
    s.geometry = LayerGeometry{kernel / 2,       kernel / 2, kernel / 2, kernel / 2,
                               pooled ? 1u : 0u, pool,       pool,       0};
    s.input_bits = pick(0, 1) ? 8 : 4;
    s.per_channel = pick(0, 1);
    s.tnp_b = s.per_channel && pick(0, 1);
    s.allow_height = pick(0, 3) != 0;
    s.loop_itself = pick(0, 3) == 0;
    s.channels = pick(1, 16);
    const AxisSplit width = split_axis(pick(1, 40), pick(1, 40), pool);
    const AxisSplit height = split_axis(pick(1, 12), pick(1, 12), pool);
    const AxisSplit neurons = split_axis(pick(1, 12), pick(1, 12), s.tnp_b ? 4 : 1);
    if (!width.count || !height.count || !neurons.count) continue;
    WordChecker checker;
    checker.dual_words = pick(0, 40);
    checker.single_words = checker.dual_words + pick(0, 40);
    const SplitPlan fast = search_np_split(s, checker, width, height, neurons);
    WordChecker direct_checker = checker;
    const SplitPlan direct = direct_search(s, direct_checker, width, height, neurons);
    ASSERT_EQ(fast, direct) << "case " << i;
    (fast.found ? found : refused)++;
  }
  // Both outcomes are exercised.
  EXPECT_GT(found, 30);
  EXPECT_GT(refused, 30);
}

TEST(FactorSearch, HopelessLayerIsRefusedWithoutEnumeratingCounts) {
  // 224 x 224 input, 512 filters, 3x3 kernel: no tile fits a buffer of one word.
  SplitSearch s;
  s.geometry = LayerGeometry{1, 1, 1, 1, 0, 0, 0, 512};
  s.channels = 512;
  s.input_bits = 8;
  WordChecker checker;
  checker.dual_words = 0;
  checker.single_words = 0;
  const SplitPlan plan = search_np_split(s, checker, split_axis(224, 64, 1),
                                         split_axis(224, 256, 1), split_axis(512, 512, 1));
  EXPECT_FALSE(plan.found);
  EXPECT_LE(checker.buffer_calls, 2u);
}

TEST(FactorSearch, CoarserCutCanGiveTheSmallestTile) {
  // Width 6 cut in at least 2 pieces (limit 3) with halos of 5: two pieces of 3 read 8
  // columns, while six pieces of 1 read 11. Only the coarse cut fits.
  SplitSearch s;
  s.geometry = LayerGeometry{5, 5, 0, 0, 0, 0, 0, 1};
  s.channels = 1;
  s.input_bits = 32;
  WordChecker checker;
  checker.dual_words = 8;
  checker.single_words = 8;
  const SplitPlan plan =
      search_np_split(s, checker, split_axis(6, 3, 1), split_axis(1, 1, 1), split_axis(1, 1, 1));
  ASSERT_TRUE(plan.found);
  EXPECT_EQ(plan.width.count, 2u);
  EXPECT_EQ(plan.buffer, BufferMode::Dual);
}

TEST(FactorSearch, LoopItselfAcceptsOnlyDualBufferPlacements) {
  SplitSearch s;
  s.channels = 1;
  s.input_bits = 32;
  WordChecker checker;
  checker.dual_words = 5;
  checker.single_words = 10;
  const AxisSplit width = split_axis(10, 10, 1);
  const AxisSplit one = split_axis(1, 1, 1);
  const SplitPlan single = search_np_split(s, checker, width, one, one);
  EXPECT_EQ(single.width.count, 1u);
  EXPECT_EQ(single.buffer, BufferMode::Single);
  s.loop_itself = true;
  const SplitPlan dual = search_np_split(s, checker, width, one, one);
  EXPECT_EQ(dual.width.count, 2u);
  EXPECT_EQ(dual.buffer, BufferMode::Dual);
}

class SplitLayer : public testing::Test {
 protected:
  WordChecker checker;
};

TEST_F(SplitLayer, LayerThatFitsOneNp) {
  Graph g(8, 8, 4);
  const auto conv = g.conv("conv", {"in"}, 6);
  const SplitResult r = split_conv_layer(conv, checker, 256, 64, 512, hw::Type::CNP1, false);
  ASSERT_TRUE(r.status.ok()) << r.status.message();
  ASSERT_EQ(r.components.size(), 1u);
  const hw::NpBlock& block = *r.components[0].np_block;
  EXPECT_EQ(r.components[0].type, hw::Type::CNP1);
  EXPECT_EQ(block.start_neuron, 0u);
  EXPECT_EQ(block.filters, 6u);
  EXPECT_EQ(block.spatial_partition, (NpSpace{0, 0, Shape{8, 8, 4}}));
  EXPECT_EQ(block.input_window, block.spatial_partition);
  EXPECT_FALSE(block.single_buffer);
}

TEST_F(SplitLayer, TwoWidthPiecesReadOneColumnOfTheirNeighbour) {
  Graph g(16, 4, 2);
  const auto conv = g.conv("conv", {"in"}, 4);
  const SplitResult r = split_conv_layer(conv, checker, 256, 8, 512, hw::Type::CNP1, false);
  ASSERT_EQ(r.components.size(), 2u);
  EXPECT_EQ(r.components[0].np_block->spatial_partition, (NpSpace{0, 0, Shape{8, 4, 2}}));
  EXPECT_EQ(r.components[0].np_block->input_window, (NpSpace{0, 0, Shape{9, 4, 2}}));
  EXPECT_EQ(r.components[1].np_block->spatial_partition, (NpSpace{8, 0, Shape{8, 4, 2}}));
  EXPECT_EQ(r.components[1].np_block->input_window, (NpSpace{7, 0, Shape{9, 4, 2}}));
}

TEST_F(SplitLayer, PiecesRunWidthOuterNeuronsInner) {
  Graph g(8, 8, 2);
  const auto conv = g.conv("conv", {"in"}, 10, 1);
  checker.max_filters_per_np = 4;  // the weights force three neuron pieces
  const SplitResult r = split_conv_layer(conv, checker, 4, 8, 512, hw::Type::CNP1, false);
  ASSERT_TRUE(r.status.ok());
  ASSERT_EQ(r.components.size(), 6u);
  std::vector<std::tuple<uint32_t, uint32_t, uint32_t>> order;
  for (const auto& c : r.components)
    order.emplace_back(c.np_block->spatial_partition.y, c.np_block->start_neuron,
                       c.np_block->filters);
  EXPECT_EQ(order, (std::vector<std::tuple<uint32_t, uint32_t, uint32_t>>{
                       {0, 0, 4}, {0, 4, 4}, {0, 8, 2}, {4, 0, 4}, {4, 4, 4}, {4, 8, 2}}));
}

struct FailureCase {
  const char* name;
  LayerType type;
  uint32_t max_h, max_w, max_f;
  uint32_t weight_limit, dual_words;
  const char* message;
};

class SplitFailure : public testing::TestWithParam<FailureCase> {};

TEST_P(SplitFailure, Message) {
  const FailureCase& c = GetParam();
  Graph g(16, 16, 12);
  LayerPtr layer;
  if (c.type == LayerType::Conv2DTranspose)
    layer = g.add("layer", c.type, {{"kernel_size", 3}, {"filters", 4}}, {"in"});
  else
    layer = g.conv("layer", {"in"}, 4);
  WordChecker checker;
  checker.max_filters_per_np = c.weight_limit;
  checker.dual_words = checker.single_words = c.dual_words;
  const SplitResult r =
      c.type == LayerType::Conv2DTranspose
          ? split_transposed_conv_layer(layer, checker, c.max_h, c.max_w, c.max_f, false)
          : split_conv_layer(layer, checker, c.max_h, c.max_w, c.max_f, hw::Type::CNP1, false);
  EXPECT_TRUE(r.components.empty());
  EXPECT_EQ(r.status.message(), std::string("Cannot map layer 'layer'. ") + c.message);
}

INSTANTIATE_TEST_SUITE_P(
    Splits, SplitFailure,
    testing::Values(FailureCase{"FilterLimitZero", LayerType::Conv2D, 256, 64, 0, 100, 1000,
                                "Cannot split by neurons."},
                    FailureCase{"WeightsNeverFit", LayerType::Conv2D, 256, 64, 512, 0, 1000,
                                "Cannot split to fit weights in ram."},
                    FailureCase{"InputsNeverFit", LayerType::Conv2D, 256, 64, 512, 100, 0,
                                "Cannot split to fit inputs in ram."},
                    FailureCase{"TransposedTallerThanItsLimit", LayerType::Conv2DTranspose, 8, 64,
                                512, 100, 1000, "Split by height is not supported."}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(SplitDepthwise, TnpBChannelCutsKeepTheLastPieceAMultipleOfFour) {
  for (const auto& [channels, pieces] : {std::pair{12u, 2u}, std::pair{10u, 0u}}) {
    Graph g(4, 4, channels);
    const auto layer = g.add("tnp", LayerType::DepthwiseBufferTempConv, {{"fifo_size", 2}}, {"in"});
    WordChecker checker;
    checker.dual_words = 8 * 4;  // at most eight channels of a 4x4 tile
    checker.single_words = 0;
    const SplitResult r = split_depthwise_layer(layer, checker, 256, 64, 8, hw::Type::TNP_B, false);
    if (pieces == 0) {
      EXPECT_EQ(r.status.text, "Cannot split to fit inputs in ram.") << channels;
      continue;
    }
    ASSERT_EQ(r.components.size(), pieces) << r.status.message();
    EXPECT_EQ(r.components[0].np_block->filters, 8u);
    EXPECT_EQ(r.components[1].np_block->filters, 4u);
    EXPECT_EQ(r.components[1].np_block->spatial_partition.shape[2], 4u);
  }
}

TEST(SkipDmaComponents, OnePerNeedAfterTheNpType) {
  Graph g;
  const auto tnp =
      g.add("tnp", LayerType::BufferTempConv, {{"fifo_size", 2}, {"filters", 4}}, {"in"});
  std::vector<hw::Component> components;
  append_skip_dma_components(
      components, {hw::Type::TNP_B, hw::Type::SKIP_DMA_STORE, hw::Type::SKIP_DMA_LOAD}, tnp);
  ASSERT_EQ(components.size(), 2u);  // a TNP-B stores once, loads once
  EXPECT_EQ(components[0].type, hw::Type::SKIP_DMA_STORE);
  EXPECT_EQ(components[1].type, hw::Type::SKIP_DMA_LOAD);
  EXPECT_FALSE(components[0].np_block.has_value());
  append_skip_dma_components(components, {hw::Type::TNP_B}, tnp);
  EXPECT_EQ(components.size(), 2u);
}

}  // namespace
}  // namespace morla
