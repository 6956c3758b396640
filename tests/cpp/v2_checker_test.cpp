// The IP v2 checker: variable budgets and activation support, dispatch, the sequence and
// NP-mapping rules, and the buffer, weight and geometry fits.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "backend/v2/compatibility_checker.h"
#include "test_helpers.h"
#include "v2_test_support.h"

namespace morla::v2 {
namespace {

using v2test::fill_values;
using v2test::V2Model;

struct Checker {
  explicit Checker(bool luts = true)
      : device(std::make_shared<VirtualDevice>(v2test::v2_version(), v2test::v2_mesh(2, luts))),
        description(v2test::v2_description(device->mesh())),
        checker(device, description) {}
  std::shared_ptr<VirtualDevice> device;
  HardwareDescription description;
  CompatibilityCheckerImpl checker;
};

// ---- check_sequence -------------------------------------------------------------------

struct SequenceCase {
  std::string name;
  // Builds the model and returns the run to check.
  std::function<LayerList(V2Model&)> run;
  std::string expected;
  std::string layer;  // the status's layer name
};

class V2SequenceRule : public testing::TestWithParam<SequenceCase> {};

TEST_P(V2SequenceRule, FirstBrokenRule) {
  V2Model m;
  const LayerList run = GetParam().run(m);
  const auto status = Checker().checker.check_sequence(run, 0);
  EXPECT_EQ(status.text, GetParam().expected);
  EXPECT_EQ(status.layer_name, GetParam().layer);
}

LayerList fork(V2Model& m, int branches) {
  const auto a = m.conv("a", {"in"});
  for (int i = 0; i < branches; ++i) m.conv(std::string("b").append(std::to_string(i)), {"a"});
  return {a};
}

v2test::Params no_activation_wide() { return {{"activation", 0}, {"output_bits", 28}}; }

INSTANTIATE_TEST_SUITE_P(
    Runs, V2SequenceRule,
    testing::Values(
        SequenceCase{"Chain",
                     [](V2Model& m) {
                       return LayerList{m.conv("a", {"in"}), m.conv("b", {"a"})};
                     },
                     "Success.", ""},
        SequenceCase{"StartsWithAdd",
                     [](V2Model& m) {
                       m.conv("a", {"in"});
                       m.conv("b", {"a"});
                       return LayerList{m.add("add", LayerType::Add, {}, {"b", "a"})};
                     },
                     "Can't be the first layer of the sequence.", "add"},
        SequenceCase{
            "OnlyADequantizer",
            [](V2Model& m) { return LayerList{m.add("dq", LayerType::Dequantizer, {}, {"in"})}; },
            "Can't start a sequence with a Dequantizer.", "dq"},
        SequenceCase{"DequantizerInTheMiddle",
                     [](V2Model& m) {
                       return LayerList{m.conv("a", {"in"}),
                                        m.add("dq", LayerType::Dequantizer, {}, {"a"}),
                                        m.conv("b", {"a"})};
                     },
                     "Only 1 Dequantizer at the end of the model is supported.", "dq"},
        SequenceCase{"EndsWithMaxPooling",
                     [](V2Model& m) {
                       const auto a = m.conv("a", {"in"}, {{"pool_type", 1}, {"pool_size", 2}});
                       return LayerList{a, m.add("dq", LayerType::Dequantizer, {}, {"a"})};
                     },
                     "A layer with max pooling cannot be the last layer of a sequence.", "a"},
        SequenceCase{"WideTailScale",
                     [](V2Model& m) {
                       const auto a = m.conv("a", {"in"}, no_activation_wide());
                       fill_values<uint8_t>(*a->variables().get("output_scales"), {1, 2, 1, 1});
                       return LayerList{a};
                     },
                     "Without activation output_scales should be 1.", "a"},
        SequenceCase{"WideTailShiftFirst",
                     [](V2Model& m) {
                       const auto a = m.conv("a", {"in"}, no_activation_wide());
                       fill_values<uint8_t>(*a->variables().get("output_scales"), {1, 2, 1, 1});
                       fill_values<int8_t>(*a->variables().get("output_shift"), {0, 0, 0, 1});
                       return LayerList{a};
                     },
                     "Without activation output_shift should be 0.", "a"},
        SequenceCase{
            "WideTailUnitScales",
            [](V2Model& m) { return LayerList{m.conv("a", {"in"}, no_activation_wide())}; },
            "Success.", ""},
        SequenceCase{"MaxPoolingIntoDense",
                     [](V2Model& m) {
                       const auto a = m.conv("a", {"in"}, {{"pool_type", 1}, {"pool_size", 2}});
                       return LayerList{a, m.add("d", LayerType::Dense1D, {{"units", 4}}, {"a"})};
                     },
                     "Any layer with max pooling must be followed by a layer mapped on a CNP or a "
                     "TNP-B. Layer 'a' has max pooling.",
                     "d"},
        SequenceCase{"DenseIntoConv",
                     [](V2Model& m) {
                       const auto d = m.add("d", LayerType::Dense1D, {{"units", 4}}, {"in"});
                       return LayerList{d, m.conv("c", {"d"})};
                     },
                     "A layer mapped on FNP cannot be directly followed by a layer mapped on CNP "
                     "due to incompatible data processing requirements. Layer 'd' is mappable on "
                     "FNP.",
                     "c"},
        SequenceCase{"DenseOutsideTheRunIntoConv",
                     [](V2Model& m) {
                       m.add("d", LayerType::Dense1D, {{"units", 4}}, {"in"});
                       return LayerList{m.conv("c", {"d"})};
                     },
                     "Success.", ""},
        SequenceCase{
            "AddIntoDense",
            [](V2Model& m) {
              const auto a = m.conv("a", {"in"});
              const auto b = m.conv("b", {"a"});
              const auto add = m.add("add", LayerType::Add, {}, {"b", "a"});
              return LayerList{a, b, add, m.add("d", LayerType::Dense1D, {{"units", 4}}, {"add"})};
            },
            "Dense layer can't have Add/Concat as inbound. Layer 'add' is a Add/Concat.", "d"},
        SequenceCase{"ThreeOutbounds", [](V2Model& m) { return fork(m, 3); },
                     "Layer has 3 outbounds. A maximum of 2 outbounds is supported.", "a"},
        SequenceCase{"TwoOutboundsOpenTwoBranches", [](V2Model& m) { return fork(m, 2); },
                     "Bad mapping on skip connection. Several branches.", ""},
        SequenceCase{"HrcWithTwoOutbounds",
                     [](V2Model& m) {
                       const auto h = m.add("h", LayerType::InputConv2D,
                                            {{"input_width", 8},
                                             {"input_height", 8},
                                             {"input_channels", 3},
                                             {"kernel_size", 3},
                                             {"filters", 4}},
                                            {});
                       m.conv("a", {"h"});
                       m.conv("b", {"h"});
                       return LayerList{h};
                     },
                     "A layer mapped on HRC supports 1 outbound only.", "h"},
        SequenceCase{"EndsWithAdd",
                     [](V2Model& m) {
                       const auto a = m.conv("a", {"in"});
                       const auto b = m.conv("b", {"a"});
                       return LayerList{a, b, m.add("add", LayerType::Add, {}, {"b", "a"})};
                     },
                     "Bad mapping on skip connection. No valid merge layer. Add layer requires an "
                     "outbound that is mappable on a CNP.",
                     "add"},
        SequenceCase{"DeepSecondConcatInputWithTwoOutputs",
                     [](V2Model& m) {
                       const auto a = m.conv("a", {"in"});
                       const auto b = m.conv("b", {"a"});
                       const auto cat = m.add("cat", LayerType::Concatenate, {}, {"a", "b"});
                       return LayerList{a, b, cat, m.conv("d", {"b"})};
                     },
                     "Is the second input of a Concat, it can't have multiple outputs.", "b"}),
    test::names_by([](const auto& c) { return c.name; }));

// ---- check_np_mapping ---------------------------------------------------------------------

hw::Component cnp(uint32_t width) {
  hw::Component c;
  c.type = hw::Type::CNP1;
  c.np_block = hw::NpBlock{};
  c.np_block->spatial_partition.shape = Shape{width, 4, 4};
  return c;
}

hw::Component of_type(hw::Type type) {
  hw::Component c;
  c.type = type;
  return c;
}

TEST(V2NpMappingRules, WidthStoresAndFirstOfPass) {
  V2Model m;
  const auto conv = m.conv("a", {"in"});
  const auto tnp = m.add("t", LayerType::BufferTempConv, {{"fifo_size", 2}, {"filters", 4}}, {"a"});
  Checker c;
  EXPECT_TRUE(c.checker.check_np_mapping(conv, {cnp(62)}, true).ok());
  EXPECT_EQ(c.checker.check_np_mapping(conv, {cnp(8), cnp(65)}, false).text,
            "The input length 68 exceeds the maximum value for NP input width: 64.");
  EXPECT_EQ(
      c.checker
          .check_np_mapping(
              conv, {cnp(8), of_type(hw::Type::SKIP_DMA_STORE), of_type(hw::Type::SKIP_DMA_STORE)},
              false)
          .text,
      "A layer which outputs directly to one skip dma and another skipdma via dual outputs is "
      "not supported.");
  EXPECT_TRUE(c.checker.check_np_mapping(conv, std::vector<hw::Component>(127, cnp(8)), true).ok());
  EXPECT_EQ(c.checker.check_np_mapping(conv, std::vector<hw::Component>(128, cnp(8)), true).text,
            "First layer of pass exceeds the maximum of 127 hardware components. Needs 128.");
  EXPECT_TRUE(
      c.checker.check_np_mapping(conv, std::vector<hw::Component>(128, cnp(8)), false).ok());
  const auto first_tnp = c.checker.check_np_mapping(tnp, {of_type(hw::Type::TNP_B)}, true);
  EXPECT_EQ(first_tnp.text, "A TNP-B layer cannot be the first layer of a pass.");
  EXPECT_EQ(first_tnp.layer_name, "t");
  EXPECT_TRUE(c.checker.check_np_mapping(tnp, {of_type(hw::Type::TNP_B)}, false).ok());
}

// ---- check_layer ---------------------------------------------------------------------------

TEST(V2CheckLayer, VariableBudgetComesBeforeTheLayerRules) {
  V2Model m;
  const auto a = m.conv("a", {"in"}, {{"padding", 0}});
  fill_values<uint8_t>(*a->variables().get("input_shift"), {8, 0, 0, 0});
  const auto status = Checker().checker.check_layer(a, m["in"], 0);
  EXPECT_EQ(status.text,
            "The variable input_shift should only contain unsigned values that use no more than "
            "3-bit, 4 detected. Only padding 'Same' and 'SameUpper' are supported.");
  EXPECT_EQ(status.layer_name, "a");
}

TEST(V2CheckLayer, UnsupportedTypesDropEverythingElse) {
  V2Model m(8, 3, 6);
  const auto r =
      m.add("r", LayerType::StatefulRecurrent,
            {{"stateful_channels", 16}, {"output_channels", 6}, {"subsample", 3}}, {"in"});
  fill_values<uint8_t>(*r->variables().get("input_shift"), {200});
  const auto status = Checker().checker.check_layer(r, m["in"], 0);
  EXPECT_EQ(status.text, "Unsupported layer type on Morla v2.");
  EXPECT_EQ(status.layer_name, "r");
}

TEST(V2CheckLayer, ActivationSupport) {
  V2Model m;
  m.conv("a", {"in"});
  const auto dense = m.add("d", LayerType::Dense1D, {{"units", 4}, {"activation", 2}}, {"a"});
  EXPECT_EQ(check_activation_support(*dense, v2test::v2_mesh()).text,
            "Does not support activation type 'LUT'.");
  EXPECT_EQ(check_activation_support(*dense, v2test::v2_mesh(2, false)).text,
            "Does not support activation type 'LUT'. Lookup tables are missing on some NPs.");
  const auto lut_conv = m.conv("c", {"a"}, {{"activation", 2}});
  EXPECT_TRUE(check_activation_support(*lut_conv, v2test::v2_mesh()).ok());
  EXPECT_EQ(Checker(false).checker.check_layer(lut_conv, m["a"], 0).text,
            "Lookup tables are missing on some NPs.");
}

TEST(V2CheckLayer, EveryV2TypeIsDispatched) {
  V2Model m;
  m.conv("a", {"in"});
  Checker c;
  const LayerList layers = {
      m.add("t", LayerType::BufferTempConv, {{"fifo_size", 2}, {"filters", 4}}, {"a"}),
      m.add("dt", LayerType::DepthwiseBufferTempConv, {{"fifo_size", 2}}, {"a"}),
      m.add("d", LayerType::Dense1D, {{"units", 4}}, {"a"}),
      m.add("h", LayerType::InputConv2D,
            {{"input_width", 8},
             {"input_height", 8},
             {"input_channels", 3},
             {"kernel_size", 3},
             {"filters", 4}},
            {})};
  for (const auto& layer : layers)
    EXPECT_NE(c.checker.check_layer(layer, nullptr, 0).text, "Unsupported layer type on Morla v2.")
        << layer->name();
}

// ---- fits and geometry ----------------------------------------------------------------------

TEST(V2BufferFits, CnpWordsAndReserve) {
  Checker c;
  const uint32_t capacity = c.description[HardwareDescription::single_buffer_words];
  // 10 rows of 7 columns of 3 channels at 8 bits: 2 words per channel row, 60 words.
  EXPECT_TRUE(c.checker.fits_single_buffer(hw::Type::CNP1, 10, 7, 3, 0, 8, capacity - 60));
  EXPECT_FALSE(c.checker.fits_single_buffer(hw::Type::CNP2, 10, 7, 3, 0, 8, capacity - 59));
  // A reserve beyond the capacity leaves no room instead of wrapping around.
  EXPECT_FALSE(c.checker.fits_single_buffer(hw::Type::CNP1, 1, 1, 1, 0, 8, capacity + 1));
  EXPECT_FALSE(c.checker.fits_dual_buffer(hw::Type::CNP1, 10, 7, 3, 0, 8, capacity));
  EXPECT_EQ(test::error_text<std::runtime_error>(
                [&] { c.checker.fits_dual_buffer(hw::Type::FNP2, 1, 1, 1, 0, 8, 0); }),
            "Type of NP not supported.");
}

TEST(V2BufferFits, TnpBFramesOfTheFifo) {
  Checker c;
  const uint32_t capacity = c.description[HardwareDescription::single_buffer_words];
  // 4 x 4 x 3 (4 with padding) 8-bit values: 16 words, one 64-word unit, held 3 times.
  EXPECT_TRUE(c.checker.fits_single_buffer(hw::Type::TNP_B, 4, 4, 3, 2, 8, capacity - 192));
  EXPECT_FALSE(c.checker.fits_single_buffer(hw::Type::TNP_B, 4, 4, 3, 2, 8, capacity - 191));
}

TEST(V2WeightFits, TemporalLayers) {
  V2Model m(8, 8, 16);
  Checker c;
  const uint32_t capacity = c.description[HardwareDescription::weight_capacity];  // 4096
  const auto t = m.add("t", LayerType::BufferTempConv, {{"fifo_size", 3}, {"filters", 48}}, {"in"});
  // 4 frames of 16 rows of 4 containers (48 filters).
  EXPECT_EQ(layer_weight_containers(*t, 48), 4u * 16 * 4);
  EXPECT_TRUE(c.checker.fits_weights(t, 48));
  const auto dt = m.add("dt", LayerType::DepthwiseBufferTempConv, {{"fifo_size", 3}}, {"in"});
  EXPECT_EQ(layer_weight_containers(*dt, 16), 4u * 16);
  EXPECT_TRUE(c.checker.fits_weights(dt, capacity / 4));
  EXPECT_FALSE(c.checker.fits_weights(dt, capacity / 4 + 1));
}

TEST(V2WeightFits, ContainersPerNp) {
  V2Model m(8, 8, 64);
  Checker c;
  const uint32_t capacity = c.description[HardwareDescription::weight_capacity];  // 4096
  const auto conv = m.conv("a", {"in"}, {{"filters", 80}});
  // 3x3, 8-bit: 6 containers per 8 filters and input channel.
  EXPECT_EQ(layer_weight_containers(*conv, 80), 60u * 64);
  EXPECT_TRUE(c.checker.fits_weights(conv, 80 * capacity / (60 * 64) / 8 * 8));
  EXPECT_FALSE(c.checker.fits_weights(conv, 88));
  const auto depthwise = m.add("dw", LayerType::DepthwiseConv2D, {{"kernel_size", 7}}, {"a"});
  EXPECT_EQ(layer_weight_containers(*depthwise, 80), 7u * 80);
  EXPECT_TRUE(c.checker.fits_weights(depthwise, capacity / 7));
  EXPECT_FALSE(c.checker.fits_weights(depthwise, capacity / 7 + 1));
  EXPECT_EQ(test::error_text<std::invalid_argument>([&] { c.checker.fits_weights(m["in"], 1); }),
            "Unexpected layer type for CNP or TNP-B.");
}

TEST(V2LayerGeometry, MarginsPoolingAndFilters) {
  Checker c;
  const auto conv = LayerParams::create(
      LayerType::Conv2D, {{"kernel_size", 7}, {"filters", 5}, {"pool_type", 1}, {"pool_size", 2}});
  const LayerGeometry g = c.checker.layer_geometry(hw::Type::CNP1, *conv);
  EXPECT_EQ((std::vector<uint32_t>{g.left_halo, g.right_halo, g.top_halo, g.bottom_halo,
                                   g.pool_type, g.pool_width, g.pool_height, g.filters}),
            (std::vector<uint32_t>{3, 3, 3, 3, 1, 2, 2, 5}));
  const LayerGeometry t = c.checker.layer_geometry(hw::Type::TNP_B, *conv);
  EXPECT_EQ(t.left_halo + t.right_halo + t.top_halo + t.bottom_halo, 0u);
}

}  // namespace
}  // namespace morla::v2
