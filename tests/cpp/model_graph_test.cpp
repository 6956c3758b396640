// The stand-in model's links and the layer-graph utilities on a chain, a fork merged by Add
// and a layer with three outbounds.
#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>

#include "engine_api/layer.h"
#include "engine_api/layer_params.h"
#include "engine_api/model.h"
#include "contract/graph_utils.h"

namespace morla {
namespace {

// A v2 graph built by name: every conv is a 3x3 Conv2D with 4 filters.
class Graph {
 public:
  Graph() {
    auto params = LayerParams::create(
        LayerType::InputData, {{"input_width", 8}, {"input_height", 8}, {"input_channels", 4}});
    add_layer("in", params.get(), {});
  }
  LayerPtr conv(const std::string& name, std::vector<std::string> inbounds) {
    auto params = LayerParams::create(LayerType::Conv2D, {{"kernel_size", 3}, {"filters", 4}});
    return add_layer(name, params.get(), inbounds);
  }
  LayerPtr add(const std::string& name, std::vector<std::string> inbounds) {
    auto params = LayerParams::create(LayerType::Add, {});
    return add_layer(name, params.get(), inbounds);
  }
  LayerPtr operator[](const std::string& name) const { return model->get_layer(name); }
  LayerList list(std::initializer_list<const char*> names) const {
    LayerList out;
    for (const char* n : names) out.push_back(model->get_layer(n));
    return out;
  }

  std::unique_ptr<Model> model = Model::create();

 private:
  LayerPtr add_layer(const std::string& name, const LayerParams* params,
                     const std::vector<std::string>& inbounds) {
    auto layer = Layer::create(params, name);
    LayerList links;
    for (const auto& n : inbounds) links.push_back(model->get_layer(n));
    model->add(layer, links);
    return layer;
  }
};

uint32_t depth(const LayerPtr& layer) {
  DepthMemo memo;
  return layer_depth(layer, memo);
}

TEST(StandInModel, LinksRefusalsAndPop) {
  Graph g;
  auto a = g.conv("a", {"in"});
  auto b = g.conv("b", {"in"});
  EXPECT_EQ(g["in"]->outbound_layers(), (LayerList{a, b}));
  EXPECT_EQ(g.model->get_layer("nope"), nullptr);
  EXPECT_EQ(g.model->get_layer(size_t{7}), nullptr);
  EXPECT_EQ(g.model->ip_version(), IpVersion::v2);
  EXPECT_THROW(g.conv("a", {"in"}), std::invalid_argument);

  auto other = Model::create();
  auto params = LayerParams::create(LayerType::Conv2D, {{"kernel_size", 3}, {"filters", 4}});
  auto stray = Layer::create(params.get(), "stray");
  EXPECT_THROW(other->add(stray, {}), std::invalid_argument);  // empty model
  EXPECT_THROW(g.model->add(Layer::create(params.get(), "c"), {stray}), std::invalid_argument);

  // Empty inbounds follow the last layer.
  auto c = Layer::create(params.get(), "c");
  g.model->add(c, {});
  EXPECT_EQ(c->inbounds(), (LayerList{b}));
  g.model->pop_layer();
  EXPECT_TRUE(b->outbound_layers().empty());
  EXPECT_EQ(g.model->layer_count(), 3u);
  EXPECT_EQ(g.model->macs(), 2u * 8 * 8 * 9 * 4 * 4);
}

TEST(StandInModel, SharedTypesTakeTheModelsGeneration) {
  Graph g;
  g.conv("a", {"in"});
  auto merge = g.add("add", {"a", "in"});
  EXPECT_EQ(merge->ip_version(), IpVersion::v2);
  EXPECT_EQ(g["in"]->ip_version(), IpVersion::v2);
}

TEST(StandInModel, InputLayersAcceptOnlyAQuantizer) {
  auto model = Model::create();
  auto q = LayerParams::create(LayerType::Quantizer,
                               {{"input_width", 8}, {"input_height", 8}, {"input_channels", 3}});
  auto quantizer = Layer::create(q.get(), "q");
  model->add(quantizer, {});
  auto hrc = LayerParams::create(LayerType::InputConv2D, {{"input_width", 8},
                                                          {"input_height", 8},
                                                          {"input_channels", 3},
                                                          {"kernel_size", 3},
                                                          {"filters", 2}});
  auto first = Layer::create(hrc.get(), "hrc");
  model->add(first, {quantizer});
  EXPECT_EQ(first->input_bits(), 8u);
  EXPECT_THROW(model->add(Layer::create(hrc.get(), "hrc2"), {quantizer, quantizer}),
               std::runtime_error);
}

TEST(GraphUtils, ChainDepths) {
  Graph g;
  auto a = g.conv("a", {"in"});
  auto b = g.conv("b", {"a"});
  auto skip = g.add("skip", {"b", "b"});
  EXPECT_EQ(depth(g["in"]), 1u);
  EXPECT_EQ(depth(a), 2u);
  EXPECT_EQ(depth(b), 3u);
  EXPECT_EQ(depth(skip), 3u);
  LayerList shuffled = {b, skip, g["in"], a};
  sort_by_depth(shuffled);
  EXPECT_EQ(shuffled, (LayerList{g["in"], a, b, skip}));
  EXPECT_EQ(previous_mappable_layer(g["in"]), nullptr);
  EXPECT_EQ(next_mappable_layer(a), b);
  EXPECT_EQ(get_mappable_layer(skip), nullptr);
  EXPECT_EQ(last_mappable_layer({}), nullptr);
  EXPECT_EQ(last_mappable_layer({a}), a);
}

// in -> c1 -> c2 -> c3 -> add(c3, c1) -> c4: the skip connection leaves c1.
class Residual : public ::testing::Test {
 protected:
  void SetUp() override {
    g.conv("c1", {"in"});
    g.conv("c2", {"c1"});
    g.conv("c3", {"c2"});
    g.add("add", {"c3", "c1"});
    g.conv("c4", {"add"});
  }
  Graph g;
};

TEST_F(Residual, BranchesAndMerge) {
  const auto [main, skip] = extract_branches(g["c1"]);
  EXPECT_EQ(main, g.list({"c2", "c3", "add", "c4"}));
  EXPECT_EQ(skip, g.list({"add", "c4"}));
  EXPECT_EQ(find_merge_layer(main, skip), g["add"]);
  EXPECT_EQ(depth(g["add"]), 4u);
  EXPECT_TRUE(is_merge_layer(g["c4"]));
  EXPECT_FALSE(is_merge_layer(g["c3"]));
  EXPECT_FALSE(is_dual_source_merge_layer(g["c4"]));
  EXPECT_FALSE(dual_output_to_store_dma(g["c4"]));
  EXPECT_EQ(previous_mappable_layer(g["c4"]), g["c3"]);
  EXPECT_EQ(next_mappable_layer(g["c3"]), g["c4"]);
  EXPECT_EQ(next_mappable_layer(g["c1"]), g["c2"]);
  EXPECT_EQ(get_mappable_layer(g["add"]), g["c4"]);
  EXPECT_EQ(first_mappable_layer(g.model->layers()), g["c1"]);
  EXPECT_EQ(last_mappable_layer(g.model->layers()), g["c4"]);
  EXPECT_TRUE(is_skip_source(g["c1"]));
  EXPECT_FALSE(is_skip_source(g["c2"]));
  EXPECT_TRUE(needs_skip_dma_store(g["c1"]));
  EXPECT_TRUE(needs_skip_dma_load(g["c4"]));
  EXPECT_FALSE(needs_skip_dma_load(g["c2"]));
  EXPECT_TRUE(has_multiple_outbounds(g["c1"]));
  EXPECT_EQ(count_open_branches(g.list({"c1", "c2", "c3", "add"})), 1);
  EXPECT_EQ(count_open_branches(g.list({"c1", "c2"})), 2);
  EXPECT_EQ(collect_branch_block(g.list({"c1", "c2", "c3", "add"})),
            g.list({"c1", "c2", "c3", "add"}));
  EXPECT_EQ(collect_branch_block(g.list({"c2", "c3"})), g.list({"c2"}));
}

// The branch that is longer before the merge becomes main, whichever outbound it leaves by.
TEST(GraphUtils, LongerBranchIsMain) {
  Graph g;
  g.conv("c1", {"in"});
  g.conv("short", {"c1"});
  g.conv("long1", {"c1"});
  g.conv("long2", {"long1"});
  g.add("add", {"long2", "short"});
  const auto [main, skip] = extract_branches(g["c1"]);
  EXPECT_EQ(main, g.list({"long1", "long2", "add"}));
  EXPECT_EQ(skip, g.list({"short", "add"}));
  // Same depth: the one on the longer branch wins.
  EXPECT_EQ(first_mappable_layer(g.list({"short", "long1"})), g["long1"]);
  DepthMemo memo;
  EXPECT_TRUE(outbounds_have_equal_depth(g["c1"], memo));
}

TEST(GraphUtils, ThreeOutboundsFollowOnlyTheFirst) {
  Graph g;
  g.conv("c1", {"in"});
  g.conv("x", {"c1"});
  g.conv("y", {"c1"});
  g.conv("z", {"c1"});
  g.conv("x2", {"x"});
  const auto [main, skip] = extract_branches(g["c1"]);
  EXPECT_EQ(main, g.list({"x", "x2"}));
  EXPECT_TRUE(skip.empty());
  EXPECT_EQ(next_mappable_layer(g["c1"]), g["x"]);
  EXPECT_EQ(count_open_branches(g.list({"c1"})), 3);
  DepthMemo memo;
  EXPECT_FALSE(outbounds_have_equal_depth(g["c1"], memo));
}

}  // namespace
}  // namespace morla
