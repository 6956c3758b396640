// Layer mappings of hardware passes: orders, DMA links, the links between passes, the
// partial-reconfiguration records of fork, Add, Concatenate and BufferTempConv graphs, and
// what a pass leaves behind when it is destroyed.
#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "engine_api/variables.h"
#include "mapcore_test_support.h"
#include "mapping/pass_handlers.h"
#include "mapping/pass_mapping.h"
#include "contract/memory_sizer.h"
#include "contract/program_record.h"
#include "program/hardware_pass.h"

namespace morla {
namespace {

using mapcore_test::cnp_nps;
using mapcore_test::component;
using mapcore_test::components_for;
using mapcore_test::Graph;
using mapcore_test::v2_device;
using T = hw::Type;

constexpr uint32_t kDma = 0x00000101;  // col 1, row 1

LayerMapping& mapping_of(const LayerPtr& layer) { return require_layer_mapping(*layer); }

// The residual graph of the test helpers in one pass.
struct ResidualGraph {
  ResidualGraph(LayerType merge_type, bool short_first) {
    g.residual(merge_type, short_first, merge_type == LayerType::Concatenate ? 6 : 4);
    layers = g.all();
    collect_pass_layers(layers, layers, components_for(layers), kDma);
  }
  Graph g{8, 8, 4};
  LayerList layers;
};

TEST(PassMapping, OrdersAndPassDmas) {
  ResidualGraph r(LayerType::Add, true);
  const auto order = [&r](const char* name) { return mapping_of(r.g[name]).order; };
  EXPECT_EQ(order("in"), 0);
  EXPECT_EQ(order("a"), 1);
  EXPECT_EQ(order("m"), 5);
  EXPECT_EQ(order("merge"), 255);
  const LayerMapping& a = mapping_of(r.g["a"]);
  // The pass's input DMA, then the (empty) NP list of the input layer before it.
  ASSERT_EQ(a.inbound.size(), 2u);
  EXPECT_EQ(a.inbound[0]->front().type, T::DMA);
  EXPECT_TRUE(a.inbound[1]->empty());
  EXPECT_EQ(a.inbound[0]->front().ident, program::key_ident(kDma));
  const LayerMapping& m = mapping_of(r.g["m"]);
  EXPECT_TRUE(m.has_output_dma);
  EXPECT_EQ(m.outbound.front()->front().type, T::DMA);
  EXPECT_FALSE(a.has_output_dma);
  // Skip DMAs are kept apart from the NPs.
  EXPECT_EQ(mapping_of(r.g["s"]).nps->size(), 1u);
  EXPECT_EQ(mapping_of(r.g["s"]).skip_dma_stores.size(), 1u);
  EXPECT_EQ(mapping_of(r.g["m"]).skip_dma_loads.size(), 1u);
  EXPECT_FALSE(mapping_of(r.g["s"]).tnp_b_skip);
}

TEST(PassMapping, AddGraphRecords) {
  ResidualGraph r(LayerType::Add, true);
  const LayerList& run = r.layers;
  // The first layer of a pass has the DMA index of the run length + 1.
  EXPECT_EQ(dma_index(run.front(), run, run), run.size() + 1);
  const uint32_t s_index = dma_index(r.g["s"], run, run);
  EXPECT_EQ(s_index, run.size() + 1 + 4);  // s itself stores

  const LayerMapping& s = mapping_of(r.g["s"]);
  ASSERT_TRUE(s.store_info);
  DepthMemo memo;
  // The store waits until the deeper input reaches the Add.
  EXPECT_EQ(s.store_info->distance, layer_depth(r.g["merge"], memo) - layer_depth(r.g["s"], memo));
  EXPECT_EQ(s.store_info->flag, 1);
  EXPECT_EQ(s.store_info->index, store_index(r.g["s"], run));
  EXPECT_EQ(s.next_order, static_cast<uint8_t>(s_index + 2));

  const LayerMapping& m = mapping_of(r.g["m"]);
  ASSERT_TRUE(m.merge_info);
  const MergeInfo& merge = *m.merge_info;
  EXPECT_TRUE(merge.is_add);
  EXPECT_EQ(merge.index, dma_index(r.g["m"], run, run) + 1);
  EXPECT_TRUE(merge.not_first);
  EXPECT_FALSE(merge.dual_source);
  // The Add's second input is the deeper one: its shifts are exchanged.
  const Variables& add_vars = r.g["merge"]->variables();
  EXPECT_EQ(merge.a_shift, add_vars.get("b_shift"));
  EXPECT_EQ(merge.b_shift, add_vars.get("a_shift"));
  EXPECT_EQ(merge.output_shift, add_vars.get("output_shift"));

  ASSERT_TRUE(m.load_info);
  EXPECT_EQ(m.load_info->index, dma_index(r.g["m"], run, run));
  EXPECT_EQ(m.load_info->distance, 1);
  EXPECT_EQ(m.load_info->store_index, s.store_info->index + 1);
  EXPECT_EQ(m.load_info->concat_offset, 0u);
  // The deep branch feeds the merge layer directly.
  const LayerMapping& c = mapping_of(r.g["c"]);
  EXPECT_EQ(c.next_order, m.order);
  EXPECT_EQ(c.outbound.back(), m.nps);
  EXPECT_EQ(m.inbound.back(), c.nps);
}

TEST(PassMapping, AddWithDeeperFirstInputKeepsItsShifts) {
  ResidualGraph r(LayerType::Add, false);
  const MergeInfo& merge = *mapping_of(r.g["m"]).merge_info;
  EXPECT_EQ(merge.a_shift, r.g["merge"]->variables().get("a_shift"));
}

TEST(PassMapping, ForkWithEqualBranchesRecordsBothBranches) {
  ResidualGraph r(LayerType::Add, true);
  const LayerMapping& a = mapping_of(r.g["a"]);
  const LayerMapping& b = mapping_of(r.g["b"]);  // the longer branch is the main one
  const LayerMapping& s = mapping_of(r.g["s"]);
  ASSERT_TRUE(b.branch_info && s.branch_info);
  EXPECT_FALSE(b.branch_info->is_second);
  EXPECT_TRUE(s.branch_info->is_second);
  EXPECT_EQ(s.branch_info->main_order, b.order);
  EXPECT_EQ(b.branch_info->np_count, 2u);
  EXPECT_EQ(a.next_order, b.order);
  EXPECT_EQ(a.outbound, (std::vector<SharedComponents>{b.nps, s.nps}));
  // Both branches read the fork's NPs.
  EXPECT_EQ(s.inbound.back(), a.nps);
  EXPECT_EQ(b.inbound.back(), a.nps);
}

TEST(PassMapping, DualSourceMergeLayerStoresItsInputToo) {
  // The Add feeds the merge layer m and, through a second Add, the layer after m: m keeps
  // its input for that second Add (the dual store) and stores its own output.
  Graph g(8, 8, 4);
  g.residual(LayerType::Add, true);
  g.merge("add2", LayerType::Add, {"merge", "m"});
  g.conv("z", {"add2"});
  const LayerList run = g.all();
  collect_pass_layers(run, run, components_for(run), kDma);

  const LayerMapping& m = mapping_of(g["m"]);
  ASSERT_EQ(m.skip_dma_stores.size(), 2u);
  ASSERT_TRUE(m.merge_info);
  EXPECT_TRUE(m.merge_info->dual_source);
  // Its input goes to a store, not to a layer of the other branch.
  EXPECT_EQ(m.merge_info->other_order, static_cast<uint8_t>(dma_index(g["m"], run, run) + 3));
  EXPECT_EQ(output_skip_dma_store(m), &m.skip_dma_stores[0]);
  EXPECT_EQ(dual_skip_dma_store(m), &m.skip_dma_stores[1]);
  ASSERT_TRUE(m.store_info && m.dual_store_info);
  EXPECT_EQ(m.dual_store_info->flag, 0);
  EXPECT_EQ(m.dual_store_info->index, store_index(g["m"], run) + 1);
  DepthMemo memo;
  EXPECT_EQ(m.dual_store_info->distance,
            layer_depth(g["add2"], memo) - layer_depth(g["merge"], memo));
  // m's only consumer is the second Add: its output leaves through the store; the merge
  // layer z behind that Add links back to m and takes m's link byte.
  EXPECT_EQ(m.store_info->flag, 1);
  EXPECT_TRUE(mapping_of(g["z"]).load_info);
  EXPECT_EQ(m.next_order, mapping_of(g["z"]).order);
  EXPECT_EQ(m.outbound.back(), mapping_of(g["z"]).nps);
}

TEST(PassMapping, ConcatenateOffsets) {
  {
    // The deeper input is the second: it lands after the first input's channels.
    ResidualGraph r(LayerType::Concatenate, true);
    ASSERT_TRUE(mapping_of(r.g["c"]).concat_offset);
    EXPECT_EQ(*mapping_of(r.g["c"]).concat_offset, r.g["s"]->output_dims()[2]);
    EXPECT_FALSE(mapping_of(r.g["s"]).concat_offset);
    EXPECT_EQ(mapping_of(r.g["m"]).load_info->concat_offset, 0u);
    EXPECT_FALSE(mapping_of(r.g["m"]).merge_info->is_add);
  }
  {
    // The loaded (shallow) input is the second: the load lands after the first's channels.
    ResidualGraph r(LayerType::Concatenate, false);
    EXPECT_FALSE(mapping_of(r.g["c"]).concat_offset);
    EXPECT_EQ(mapping_of(r.g["m"]).load_info->concat_offset, r.g["c"]->output_dims()[2]);
  }
}

TEST(PassMapping, ForkWithABranchInTheNextPassIsRefused) {
  ResidualGraph r(LayerType::Add, true);
  const LayerList pass = r.g.list({"in", "a", "b", "c"});
  try {
    collect_pass_layers(pass, r.layers, components_for(pass), kDma);
    FAIL() << "no exception";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(),
                 "Cannot map layer 'a'. Hardware partial reconfiguration with layers on the "
                 "second branch is not supported.");
  }
}

TEST(PassMapping, BufferTempConvRecords) {
  Graph g(4, 4, 4);
  g.conv("conv", {"in"});
  g.add("tnp", LayerType::BufferTempConv, {{"fifo_size", 4}, {"filters", 4}}, {"conv"});
  g.conv("after", {"tnp"});
  const LayerList layers = g.all();
  collect_pass_layers(layers, layers, components_for(layers), kDma);
  const LayerMapping& tnp = mapping_of(g["tnp"]);
  EXPECT_EQ(tnp.order, 3);  // a TNP-B takes two orders
  EXPECT_TRUE(tnp.tnp_b_skip);
  ASSERT_TRUE(tnp.store_info && tnp.load_info);
  EXPECT_EQ(tnp.store_info->distance, 5);  // fifo + 1
  EXPECT_EQ(tnp.store_info->flag, 1);
  EXPECT_EQ(tnp.store_info->index, 2);  // its position in the run
  EXPECT_EQ(tnp.load_info->distance, 5);
  EXPECT_EQ(tnp.load_info->index, tnp.order - 1);
  EXPECT_EQ(tnp.load_info->store_index, 2);
  // The producer feeds the TNP-B's NPs and its skip-DMA load.
  const LayerMapping& conv = mapping_of(g["conv"]);
  EXPECT_EQ(conv.next_order, tnp.order);
  ASSERT_EQ(conv.outbound.size(), 2u);
  EXPECT_EQ(conv.outbound[0], tnp.nps);
  EXPECT_EQ(*conv.outbound[1], tnp.skip_dma_loads);
}

TEST(PassMapping, BufferTempConvOutsideTheRunIsRefused) {
  Graph g(4, 4, 4);
  g.conv("conv", {"in"});
  g.add("tnp", LayerType::BufferTempConv, {{"fifo_size", 4}, {"filters", 4}}, {"conv"});
  const LayerList layers = g.all();
  EXPECT_THROW(collect_pass_layers(layers, g.list({"in", "conv"}), components_for(layers), kDma),
               std::runtime_error);
}

TEST(PassMapping, HrcFirstLayerHasOnlyTheHrcAsInput) {
  Graph g(8, 8, 3, false);
  g.add("hrc", LayerType::InputConv2D,
        {{"input_width", 8},
         {"input_height", 8},
         {"input_channels", 3},
         {"kernel_size", 3},
         {"filters", 4}},
        {});
  g.conv("conv", {"hrc"});
  const LayerList layers = g.all();
  collect_pass_layers(layers, layers, {{component(T::HRC)}, {component(T::CNP1)}}, kDma);
  const LayerMapping& hrc = mapping_of(g["hrc"]);
  EXPECT_EQ(hrc.order, 0);
  ASSERT_EQ(hrc.inbound.size(), 1u);
  EXPECT_EQ(hrc.inbound[0]->size(), 1u);
  EXPECT_EQ(hrc.inbound[0]->front().type, T::HRC);
  EXPECT_EQ(mapping_of(g["conv"]).order, 1);
  EXPECT_EQ(mapping_of(g["conv"]).inbound.back(), hrc.nps);
}

TEST(SkipDmaPickers, OutputAndDualStores) {
  LayerMapping m;
  m.skip_dma_stores = {component(T::SKIP_DMA_STORE, {5, 0, 0, 0})};
  EXPECT_EQ(output_skip_dma_store(m), &m.skip_dma_stores[0]);
  EXPECT_EQ(dual_skip_dma_store(m), nullptr);
  m.merge_info = MergeInfo{};
  m.merge_info->dual_source = true;
  EXPECT_EQ(output_skip_dma_store(m), nullptr);
  EXPECT_EQ(output_skip_dma_store_index(m), kNoComponentIndex);
  EXPECT_EQ(dual_skip_dma_store(m), &m.skip_dma_stores[0]);
  m.skip_dma_stores.push_back(component(T::SKIP_DMA_STORE, {5, 0, 0, 1}));
  EXPECT_EQ(output_skip_dma_store(m), &m.skip_dma_stores[0]);
  EXPECT_EQ(dual_skip_dma_store_index(m), 1u);
  m.merge_info->dual_source = false;
  EXPECT_EQ(dual_skip_dma_store(m), nullptr);
  EXPECT_EQ(skip_dma_load(m), nullptr);
}

// A sizer whose answers name the question.
class NamingSizer : public MemorySizer {
 public:
  uint32_t input_memory_size(const LayerPtr&, const hw::Component&,
                             const LayerPtr& first) const override {
    return first ? 11 : 10;
  }
  uint32_t weights_memory_size(const LayerPtr&, const hw::Component&) const override { return 20; }
  uint32_t external_memory_size(const LayerPtr&, const hw::Component&, bool dual,
                                bool several) const override {
    return 30 + (dual ? 1 : 0) + (several ? 2 : 0);
  }
  uint32_t fsram_size(const LayerPtr&) const override { return 40; }
  uint32_t tsram_size(const LayerPtr&) const override { return 50; }
  uint32_t evsram_size(const LayerPtr&) const override { return 60; }
  uint32_t stsram_size(const LayerPtr&) const override { return 70; }
};

TEST(FillMemoryInfo, EachSizeFromItsQuestion) {
  Graph g;
  const auto conv = g.conv("conv", {"in"});
  const MemoryInfo info =
      fill_memory_info(NamingSizer(), conv, component(T::CNP1), conv, false, true);
  EXPECT_EQ(info, (MemoryInfo{11, 20, 32, 70, 40, 50, 60}));
}

class Passes : public testing::Test {
 protected:
  Passes() : g(8, 8, 4) {
    g.conv("a", {"in"});
    g.conv("b", {"a"});
    g.conv("c", {"b"});
    g.conv("d", {"c"});
    context = build_pass_context(v2_device(cnp_nps(4)), nullptr, nullptr, nullptr);
  }
  void build(const LayerList& group) {
    build_hardware_passes(context, group, g.all(), components_for(group));
  }
  Graph g;
  PassContext context;
};

TEST_F(Passes, SecondPassIsLinkedToTheFirst) {
  build(g.list({"in", "a", "b"}));
  build(g.list({"c", "d"}));
  ASSERT_EQ(context.passes.size(), 2u);
  EXPECT_EQ(context.layers.size(), 5u);
  const LayerMapping& b = mapping_of(g["b"]);
  const LayerMapping& c = mapping_of(g["c"]);
  EXPECT_EQ(b.outbound, (std::vector<SharedComponents>{c.nps}));
  EXPECT_FALSE(b.has_output_dma);
  EXPECT_EQ(b.next_order, b.order + 1);
  EXPECT_EQ(c.previous_pass_order, b.next_order);
  // The second pass reads its input DMA and the first pass's last NPs.
  ASSERT_EQ(c.inbound.size(), 2u);
  EXPECT_EQ(c.inbound[0]->front().type, T::DMA);
  EXPECT_EQ(c.inbound[1], b.nps);
  EXPECT_EQ(mapping_of(g["a"]).previous_pass_order, 0);
}

TEST_F(Passes, TrailingSkipDmaLayerOpensTheNextPass) {
  Graph r(8, 8, 4);
  r.conv("a", {"in"});
  r.conv("b", {"a"});
  r.merge("add", LayerType::Add, {"a", "b"});
  r.conv("m", {"add"});
  build_hardware_passes(context, r.list({"in", "a", "b", "add"}), r.all(),
                        components_for(r.list({"in", "a", "b", "add"})));
  ASSERT_TRUE(context.pending);
  EXPECT_EQ(context.pending->layer, r["add"]);
  EXPECT_EQ(context.passes.back()->layers, r.list({"in", "a", "b"}));
  build_hardware_passes(context, r.list({"m"}), r.all(), components_for(r.list({"m"})));
  EXPECT_FALSE(context.pending);
  EXPECT_EQ(context.passes.back()->layers, r.list({"add", "m"}));
}

TEST_F(Passes, DestroyedPassReleasesOnlyItsOwnMappings) {
  build(g.list({"in", "a", "b"}));
  std::shared_ptr<Sequence::Pass> old_pass = context.passes.front();
  const std::shared_ptr<Layer::Mapping> old_mapping = g["a"]->mapping();
  // A later mapping of the same layers installs new mappings.
  PassContext later = build_pass_context(context.device, nullptr, nullptr, nullptr);
  build_hardware_passes(later, g.list({"in", "a", "b"}), g.all(),
                        components_for(g.list({"in", "a", "b"})));
  const std::shared_ptr<Layer::Mapping> new_mapping = g["a"]->mapping();
  ASSERT_NE(new_mapping, old_mapping);
  context.passes.clear();
  old_pass.reset();
  EXPECT_EQ(g["a"]->mapping(), new_mapping);
  // Dropping the newer pass clears its layers' mappings.
  later.passes.clear();
  EXPECT_EQ(g["a"]->mapping(), nullptr);
  EXPECT_EQ(g["b"]->mapping(), nullptr);
}

}  // namespace
}  // namespace morla
