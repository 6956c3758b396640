// The v1 compatibility checker as the mapper sees it: built by the back-end factory for the
// v1 products, its layer dispatch, the sequence and NP-placement rules, buffer and weight
// fits and the split geometry.
#include <gtest/gtest.h>

#include "backend/v1/compatibility_checker.h"
#include "core/mesh.h"
#include "core/virtual_device.h"
#include "hwmap/hardware_backend.h"
#include "test_helpers.h"
#include "v1_test_support.h"

namespace morla::v1 {
namespace {

using namespace v1_test;

const Entries kConv = {
    {"kernel_width", 3}, {"kernel_height", 3}, {"padding", 1}, {"filters", 8}, {"weights_bits", 4}};
const Entries kMaxPool = {{"pool_type", 1}, {"pooling_width", 2}, {"pooling_height", 2}};

std::shared_ptr<Device> v1_device(uint8_t product) {
  const Mesh mesh(IpVersion::v1, hw::Ident{1, 1, 0, 0}, hw::Ident{1, 1, 1, 0}, np::Info::hrc(false),
                  {np::Info{hw::Ident{1, 2, 0, 0}, {hw::Type::CNP1, hw::Type::FNP3}, false}}, {});
  return make_virtual_device(HwVersion{HwVersion::kel_id, product, 1, 0}, mesh);
}

class V1Checker : public testing::Test {
 protected:
  HardwareDescription d = description();
  CompatibilityCheckerImpl checker{v1_device(161), &d};
};

TEST(V1Factory, BothV1ProductsBuildTheV1BackEnd) {
  for (uint8_t product : {uint8_t{0}, uint8_t{161}}) {
    const IpVersionSpecificHardwareBackend backend(v1_device(product));
    EXPECT_NE(dynamic_cast<const CompatibilityCheckerImpl*>(&backend.checker()), nullptr);
    // 44800 weight bytes: 7168 entries of 50 bits.
    EXPECT_EQ(backend.description()[HardwareDescription::weight_capacity], 7168u);
  }
}

TEST_F(V1Checker, OrbiV1IsRefusedWhateverTheLayer) {
  const Built b = after_input(LayerType::Convolutional, kConv, 8, 8, 4);
  EXPECT_EQ(checker.check_layer(b.input, nullptr, word_of(devices::Orbi_v1)).message(),
            "Cannot map layer 'input'. Orbi_v1 is not supported on this version. Please install "
            "morla 2.0.5 instead.");
}

TEST_F(V1Checker, LayerTypesWithoutRulesPassOrAreRefused) {
  const Built b = after_input(LayerType::Conv2D, {{"kernel_size", 3}, {"filters", 2}}, 8, 8, 4);
  EXPECT_TRUE(checker.check_layer(b.input, nullptr, v1_word()).ok());
  EXPECT_EQ(checker.check_layer(b.layer, b.input, v1_word()).text,
            "Unsupported layer type on Morla v1.");
}

TEST_F(V1Checker, FullyConnectedWeightRangeFollowsTheLayerCheck) {
  const Built b =
      after_input(LayerType::FullyConnected, {{"units", 4}, {"weights_bits", 4}}, 2, 2, 2);
  poke(*b.layer, "weights", {8});
  EXPECT_EQ(checker.check_layer(b.layer, b.input, v1_word()).text,
            "Weights contain values out of range (-7, 7) (e.g.: 8).");
  // A failing layer check is returned alone.
  const Built bad =
      after_input(LayerType::FullyConnected, {{"units", 4}, {"weights_bits", 4}}, 2, 2, 2, 3);
  poke(*bad.layer, "weights", {8});
  EXPECT_EQ(checker.check_layer(bad.layer, bad.input, v1_word()).text,
            "Input bitwidth should be 1, 2 or 4.");
}

// input -> conv (max pooling?) -> [conv] -> fc
struct Chain {
  std::shared_ptr<Model> model = Model::create();
  std::vector<std::shared_ptr<Layer>> layers;
  void add(LayerType type, const Entries& entries, const std::string& name) {
    auto layer = make_layer(type, entries, name);
    model->add(layer,
               layers.empty() ? std::vector<std::shared_ptr<Layer>>{} : std::vector{layers.back()});
    layers.push_back(layer);
  }
};

Chain chain(bool conv_after_pool) {
  Chain c;
  c.add(LayerType::InputData,
        {{"input_width", 8}, {"input_height", 8}, {"input_channels", 2}, {"input_bits", 4}},
        "input");
  c.add(LayerType::Convolutional, with(kConv, kMaxPool), "pooled");
  if (conv_after_pool) c.add(LayerType::Convolutional, kConv, "conv");
  c.add(LayerType::FullyConnected, {{"units", 4}}, "fc");
  return c;
}

TEST_F(V1Checker, MaxPoolingCnpCannotEndASequence) {
  const Chain c = chain(false);
  const std::vector<std::shared_ptr<Layer>> prefix(c.layers.begin(), c.layers.begin() + 2);
  EXPECT_EQ(checker.check_sequence(prefix, v1_word()).message(),
            "Cannot map layer 'pooled'. A convolutional or separable convolutional layer with max "
            "pooling cannot be "
            "the last layer of a sequence.");
}

TEST_F(V1Checker, MaxPoolingCnpMustFeedACnp) {
  EXPECT_EQ(checker.check_sequence(chain(false).layers, v1_word()).message(),
            "Cannot map layer 'fc'. A convolutional or separable convolutional layer with max "
            "pooling must be "
            "followed by another convolutional or separable convolutional layer. Layer 'pooled' "
            "has max pooling.");
  EXPECT_TRUE(checker.check_sequence(chain(true).layers, v1_word()).ok());
  // The pooled layer of another sequence does not count.
  const Chain c = chain(false);
  EXPECT_TRUE(checker.check_sequence({c.layers.back()}, v1_word()).ok());
}

hw::Component cnp_of_width(uint32_t width) {
  hw::Component c;
  c.type = hw::Type::CNP1;
  c.np_block = hw::NpBlock{0, 8, NpSpace{0, 0, Shape{width, 4, 2}},
                           NpSpace{0, 0, Shape{width, 4, 2}}, false};
  return c;
}

TEST_F(V1Checker, NpInputLengthIsRoundedToFourAndLimitedTo32) {
  const Built b = after_input(LayerType::Convolutional, kConv, 64, 4, 2);
  EXPECT_TRUE(checker.check_np_mapping(b.layer, {cnp_of_width(29)}, false).ok());
  EXPECT_EQ(checker.check_np_mapping(b.layer, {cnp_of_width(33)}, false).text,
            "The input length 36 exceeds the maximum value for NP input width: 32.");
  EXPECT_EQ(
      checker
          .check_np_mapping(b.layer, {cnp_of_width(33), cnp_of_width(40), cnp_of_width(8)}, false)
          .text,
      "The input length 40 exceeds the maximum value for NP input width: 32.");
  EXPECT_EQ(checker.check_np_mapping(b.input, {}, false).text, "unknown Layer type.");
}

TEST_F(V1Checker, BuffersHoldThePackedInputTile) {
  // 32 four-bit values a line: 4 words per channel and row. 16384 words single, 8192 dual.
  EXPECT_TRUE(checker.fits_single_buffer(hw::Type::CNP1, 64, 32, 64, 0, 4, 0));
  EXPECT_FALSE(checker.fits_single_buffer(hw::Type::CNP1, 65, 32, 64, 0, 4, 0));
  EXPECT_TRUE(checker.fits_dual_buffer(hw::Type::CNP1, 32, 32, 64, 0, 4, 0));
  EXPECT_FALSE(checker.fits_dual_buffer(hw::Type::CNP1, 33, 32, 64, 0, 4, 0));
}

TEST_F(V1Checker, GeometryHalvesTheKernelPerSide) {
  const Built b = after_input(LayerType::Convolutional,
                              with(kConv, {{"kernel_width", 5},
                                           {"kernel_height", 3},
                                           {"pool_type", 1},
                                           {"pooling_width", 2},
                                           {"pooling_height", 3}}),
                              16, 16, 2);
  const LayerGeometry g = checker.layer_geometry(hw::Type::CNP1, *b.layer->params());
  EXPECT_EQ(std::vector<uint32_t>({g.left_halo, g.right_halo, g.top_halo, g.bottom_halo,
                                   g.pool_type, g.pool_width, g.pool_height, g.filters}),
            std::vector<uint32_t>({2, 2, 1, 1, 1, 2, 3, 8}));
}

TEST_F(V1Checker, Fnp3TakesLayersWhoseImageFitsItsWeightUnits) {
  // 65536 weight bytes: 15728 units. 64 inputs, 1 bit: 6 words a neuron.
  const auto fc = [](int units) {
    return after_input(LayerType::FullyConnected, {{"units", units}}, 4, 4, 4).layer;
  };
  EXPECT_TRUE(checker.fits_fnp3(d, fc(2621)));   // 15726 words
  EXPECT_FALSE(checker.fits_fnp3(d, fc(2622)));  // 15732 words
}

TEST_F(V1Checker, WeightFitAsksTheCnpWeightMemory) {
  const Built b = after_input(LayerType::Convolutional, kConv, 8, 8, 4);
  EXPECT_TRUE(checker.fits_weights(b.layer, 8));
  const HardwareDescription small = description(65536, 64);
  EXPECT_FALSE(CompatibilityCheckerImpl(v1_device(161), &small).fits_weights(b.layer, 8));
  const Built fc = after_input(LayerType::FullyConnected, {{"units", 4}}, 2, 2, 2);
  EXPECT_EQ(test::error_text<std::invalid_argument>([&] { checker.fits_weights(fc.layer, 1); }),
            "Unexpected layer type for CNP");
}

}  // namespace
}  // namespace morla::v1
