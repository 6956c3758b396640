// Layers without a variable the v2 back end needs, or with one too short: the checks answer a
// failed status and the recorders a runtime_error naming the layer and the variable, never a
// read past a tensor.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "backend/v2/cnp_checks.h"
#include "backend/v2/cnp_recorder.h"
#include "backend/v2/fnp_recorder.h"
#include "backend/v2/fnp_sizes.h"
#include "backend/v2/hrc_checks.h"
#include "backend/v2/hrc_recorder.h"
#include "backend/v2/merge_checks.h"
#include "backend/v2/sequence_rules.h"
#include "backend/v2/tnp_b_recorder.h"
#include "contract/layer_mapping.h"
#include "test_helpers.h"
#include "v2_test_support.h"

namespace morla::v2 {
namespace {

using v2test::LayerView;
using v2test::V2Model;

LayerPtr input_conv(V2Model& m) {
  const auto h = m.add("h", LayerType::InputConv2D,
                       {{"input_width", 8},
                        {"input_height", 8},
                        {"input_channels", 3},
                        {"kernel_size", 3},
                        {"filters", 4}},
                       {});
  h->variables().get("weights")->mutable_data<int8_t>()[0] = 1;
  return h;
}

// Maps `layer` on one NP taking all its filters (or neurons).
void map_on_one_np(Layer& layer, hw::Type type, uint32_t filters) {
  auto m = std::make_shared<LayerMapping>();
  m->order = 1;
  m->nps = share_components({v2test::np_part(type, 1, 0, 0, filters, layer.input_dims())});
  m->inbound = {share_components({v2test::component(hw::Type::DMA, 0)})};
  m->outbound = {share_components({v2test::component(hw::Type::DMA, 0)})};
  layer.mapping() = m;
}

struct StatusCase {
  std::string name;
  std::function<MappingStatus(V2Model&)> check;
  std::string expected;
};

class V2MissingVariableCheck : public testing::TestWithParam<StatusCase> {};

TEST_P(V2MissingVariableCheck, FailedStatus) {
  V2Model m;
  const auto status = GetParam().check(m);
  EXPECT_EQ(status.kind, 1);
  EXPECT_EQ(status.text, GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Checks, V2MissingVariableCheck,
    testing::Values(
        StatusCase{"ConvInputShift",
                   [](V2Model& m) {
                     return check_conv2d(v2test::v2_description(),
                                         *LayerView::without(m.conv("c", {"in"}), {"input_shift"}));
                   },
                   "No variable named 'input_shift'."},
        StatusCase{"AddShift",
                   [](V2Model& m) {
                     m.conv("a", {"in"});
                     m.conv("b", {"a"});
                     const auto add = m.add("add", LayerType::Add, {}, {"b", "a"});
                     m.conv("after", {"add"});
                     return check_add(*LayerView::without(add, {"b_shift"}));
                   },
                   "No variable named 'b_shift'."},
        StatusCase{"HrcWeights",
                   [](V2Model& m) {
                     return check_input_conv2d(*LayerView::without(input_conv(m), {"weights"}));
                   },
                   "No variable named 'weights'."},
        StatusCase{"DenseInputShift",
                   [](V2Model& m) {
                     const auto d = m.add("d", LayerType::Dense1D, {{"units", 4}}, {"in"});
                     return check_dense1d(v2test::v2_description(),
                                          *LayerView::without(d, {"input_shift"}), m["in"].get());
                   },
                   "No variable named 'input_shift'."},
        StatusCase{"WideTailScales",
                   [](V2Model& m) {
                     const auto c = m.conv("c", {"in"}, {{"activation", 0}, {"output_bits", 28}});
                     return check_v2_sequence({LayerView::without(c, {"output_scales"})});
                   },
                   "No variable named 'output_scales'."}),
    test::names_by([](const auto& c) { return c.name; }));

struct RecordCase {
  std::string name;
  std::function<void(V2Model&, const Device&)> record;
  std::string expected;
};

class V2MissingVariableRecord : public testing::TestWithParam<RecordCase> {};

TEST_P(V2MissingVariableRecord, NamedError) {
  V2Model m;
  const VirtualDevice device(v2test::v2_version(), v2test::v2_mesh());
  EXPECT_EQ(test::error_text<std::runtime_error>([&] { GetParam().record(m, device); }),
            GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Recorders, V2MissingVariableRecord,
    testing::Values(
        RecordCase{"ConvWeights",
                   [](V2Model& m, const Device& d) {
                     const auto c = m.conv("c", {"in"});
                     map_on_one_np(*c, hw::Type::CNP1, 4);
                     record_conv2d(d, *LayerView::without(c, {"weights"}), {});
                   },
                   "Layer 'c' has no variable 'weights'."},
        RecordCase{"ConvInputShift",
                   [](V2Model& m, const Device& d) {
                     const auto c = m.conv("c", {"in"});
                     map_on_one_np(*c, hw::Type::CNP1, 4);
                     record_conv2d(d, *LayerView::without(c, {"input_shift"}), {});
                   },
                   "Layer 'c' has no variable 'input_shift'."},
        RecordCase{"ConvLookUpTable",
                   [](V2Model& m, const Device& d) {
                     const auto c = m.conv("c", {"in"}, {{"activation", 2}});
                     map_on_one_np(*c, hw::Type::CNP1, 4);
                     record_conv2d(d, *LayerView::without(c, {"lut_values"}), {});
                   },
                   "Layer 'c' has no variable 'lut_values'."},
        RecordCase{"ConvFiltersPastTheWeights",
                   [](V2Model& m, const Device& d) {
                     const auto c = m.conv("c", {"in"});
                     map_on_one_np(*c, hw::Type::CNP1, 6);
                     record_conv2d(d, *c, {});
                   },
                   "Layer 'c': variable 'weights' holds 4 filters, filters 0 to 5 are needed."},
        RecordCase{
            "DepthwiseInputShiftTooShort",
            [](V2Model& m, const Device& d) {
              const auto c = m.add("dw", LayerType::DepthwiseConv2D, {{"kernel_size", 3}}, {"in"});
              map_on_one_np(*c, hw::Type::CNP1, 4);
              v2test::replace_variable(*c, "input_shift", TensorType::uint8, Shape{3});
              record_depthwise_conv2d(d, *c, {});
            },
            "Layer 'dw': variable 'input_shift' holds 3 elements, elements 0 to 3 are needed."},
        RecordCase{"DenseBias",
                   [](V2Model& m, const Device& d) {
                     const auto dense = m.add("d", LayerType::Dense1D, {{"units", 4}}, {"in"});
                     map_on_one_np(*dense, hw::Type::FNP3, 4);
                     const auto view = LayerView::without(dense, {"bias"});
                     record_dense1d(d, v2test::v2_description(), *view, view, {});
                   },
                   "Layer 'd' has no variable 'bias'."},
        RecordCase{"TemporalWeights",
                   [](V2Model& m, const Device& d) {
                     const auto t = m.add("t", LayerType::BufferTempConv,
                                          {{"fifo_size", 2}, {"filters", 4}}, {"in"});
                     map_on_one_np(*t, hw::Type::TNP_B, 4);
                     record_buffer_temp_conv(d, *LayerView::without(t, {"weights"}), {});
                   },
                   "Layer 't' has no variable 'weights'."}),
    test::names_by([](const auto& c) { return c.name; }));

// The HRC packs a missing max_value or max_value_shift as 0, whichever half is there.
TEST(V2MissingVariables, HrcPacksAMissingHalfOfTheMaxPairAsZero) {
  for (const char* missing : {"max_value", "max_value_shift"}) {
    V2Model m;
    const auto h = input_conv(m);
    for (const char* name : {"max_value", "max_value_shift"}) {
      auto& values = *h->variables().get(name);
      for (size_t n = 0; n < values.size(); ++n) values.mutable_data<uint8_t>()[n] = 17;
    }
    const VirtualDevice device(v2test::v2_version(), v2test::v2_mesh());
    const auto record = record_input_conv2d(device, *LayerView::without(h, {missing}));
    // The neuron parameters are the last memory block before the three closing writes.
    const auto blocks = record_test::blocks_of(*record);
    const auto& words = blocks.at(blocks.size() - 4).words;
    ASSERT_EQ(words.size(), 8u);
    const bool has_shift = std::string(missing) == "max_value";
    for (size_t n = 0; n < 4; ++n) {
      EXPECT_EQ((words[2 * n] >> 14) & 0x1F, has_shift ? 17u : 0u);
      EXPECT_EQ((words[2 * n] >> 19 & 1) | (words[2 * n + 1] & 0x7F) << 1, has_shift ? 0u : 17u);
    }
  }
}

}  // namespace
}  // namespace morla::v2
