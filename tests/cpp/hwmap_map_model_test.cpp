// The mapping entry on IP v1 devices without hardware: what it maps, what it leaves in the
// caller's list and what it reports.
#include <gtest/gtest.h>

#include <random>
#include <stdexcept>

#include "contract/component.h"
#include "core/device_versions.h"
#include "core/virtual_device.h"
#include "hwmap/map_model.h"
#include "hwmap_test_support.h"
#include "mapping/map_constraints.h"

namespace morla {
namespace {

Mesh v1_mesh(bool with_hrc, size_t cnps) {
  std::vector<np::Info> nps;
  for (uint8_t i = 0; i < cnps; ++i)
    nps.push_back(
        np::Info{hw::Ident{static_cast<uint8_t>(2 + i), 1, 0, 0}, {hw::Type::CNP1}, true});
  nps.push_back(np::Info{hw::Ident{1, 2, 0, 0}, {hw::Type::CNP1, hw::Type::FNP3}, true});
  return Mesh(IpVersion::v1, hw::Ident{1, 1, 0, 0}, hw::Ident{1, 1, 1, 0},
              with_hrc ? std::optional<np::Info>(np::Info::hrc(false)) : std::nullopt, nps, {});
}

void random_bits(Layer& layer, uint32_t seed) {
  auto weights = layer.variables().get("weights");
  std::mt19937 gen(seed);
  auto* bytes = static_cast<uint8_t*>(weights->buffer().mutable_data());
  for (size_t i = 0; i < weights->buffer().size(); ++i) bytes[i] = gen() & 1;
}

// InputConvolutional, then `convolutions` convolutions (the one at `odd` of stride 3), then
// a classifier.
LayerList v1_layers(size_t convolutions, size_t odd = SIZE_MAX) {
  auto model = Model::create();
  model->add(test::make_layer(LayerType::InputConvolutional,
                              {{"input_width", 16},
                               {"input_height", 16},
                               {"input_channels", 1},
                               {"kernel_width", 3},
                               {"kernel_height", 3},
                               {"filters", 8}},
                              "hrc"),
             {});
  for (size_t i = 0; i < convolutions; ++i) {
    const int stride = i == odd ? 3 : 1;
    model->add(test::make_layer(LayerType::Convolutional,
                                {{"kernel_width", 3},
                                 {"kernel_height", 3},
                                 {"filters", 8},
                                 {"stride_x", stride},
                                 {"stride_y", stride}},
                                "conv" + std::to_string(i)),
               {});
  }
  model->add(test::make_layer(LayerType::FullyConnected, {{"units", 4}, {"weights_bits", 1}}, "fc"),
             {});
  uint32_t seed = 1;
  for (const auto& layer : model->layers()) random_bits(*layer, seed++);
  // The layers outlive the model: they keep their links.
  return model->layers();
}

std::vector<std::string> names(const LayerList& layers) {
  std::vector<std::string> out;
  for (const auto& layer : layers) out.push_back(layer->name());
  return out;
}

struct MappingRun {
  MappingStatusGroup group;
  LayerList remaining;
  std::vector<std::shared_ptr<Sequence>> sequences;
};

MappingRun map_on(const Mesh& mesh, LayerList layers, const HwVersion& version = devices::Orbi_v2) {
  const auto device = make_virtual_device(version, mesh);
  MappingRun run;
  run.remaining = std::move(layers);
  run.group =
      map_model_on_device(run.remaining, run.sequences, std::make_shared<MapConstraints>(device));
  return run;
}

TEST(MapModelOnDevice, MapsEveryLayerThatFits) {
  const MappingRun run = map_on(v1_mesh(true, 2), v1_layers(1));
  EXPECT_TRUE(run.group.ok()) << run.group.message();
  EXPECT_TRUE(run.remaining.empty());
  ASSERT_EQ(run.sequences.size(), 1u);
  EXPECT_EQ(run.sequences[0]->name(), "HW/hrc-fc");
}

TEST(MapModelOnDevice, AnEmptyListGivesSuccessAndNoSequence) {
  const MappingRun run = map_on(v1_mesh(true, 2), {});
  EXPECT_TRUE(run.group.ok());
  EXPECT_TRUE(run.sequences.empty());
}

TEST(MapModelOnDevice, NeedsConstraints) {
  LayerList layers = v1_layers(1);
  std::vector<std::shared_ptr<Sequence>> sequences;
  try {
    map_model_on_device(layers, sequences, nullptr);
    FAIL() << "mapped without constraints";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "Map constraints must be specified.");
  }
}

TEST(MapModelOnDevice, AMissingHrcBuildsNothing) {
  const LayerList layers = v1_layers(1);
  const MappingRun run = map_on(v1_mesh(false, 2), layers);
  EXPECT_FALSE(run.group.ok());
  EXPECT_EQ(run.group.message(),
            "Cannot map layer 'hrc'. Layer should be mapped on HRC but the device does not have "
            "this hardware component.");
  EXPECT_TRUE(run.sequences.empty());
  EXPECT_EQ(run.remaining, layers);
}

TEST(MapModelOnDevice, ARefusedLayerEndsTheRunAfterTheLayersBeforeIt) {
  const MappingRun run = map_on(v1_mesh(true, 3), v1_layers(3, 1));
  ASSERT_EQ(run.sequences.size(), 1u);
  EXPECT_EQ(run.sequences[0]->name(), "HW/hrc-conv0");
  EXPECT_EQ(names(run.remaining), (std::vector<std::string>{"conv1", "conv2", "fc"}));
  ASSERT_EQ(run.group.statuses.size(), 1u);
  EXPECT_EQ(run.group.statuses[0].layer_name, "conv1");
}

TEST(MapModelOnDevice, WithoutPassesTheNpsRunOut) {
  // Product 0 opens no new pass: three convolutions and a classifier on three NPs.
  const MappingRun run = map_on(v1_mesh(true, 2), v1_layers(3));
  ASSERT_EQ(run.group.statuses.size(), 1u);
  EXPECT_EQ(run.group.statuses[0].layer_name, "fc");
  EXPECT_NE(run.group.message().find("Not enough hardware components of type FNP3"),
            std::string::npos)
      << run.group.message();
  ASSERT_EQ(run.sequences.size(), 1u);
  EXPECT_EQ(run.sequences[0]->name(), "HW/hrc-conv2");
  EXPECT_EQ(names(run.remaining), (std::vector<std::string>{"fc"}));
}

TEST(MapModelOnDevice, ALaterProductOpensANewPassWhereTheNpsRunOut) {
  // Product 0xA1 reprograms its NPs between passes: the layer that finds no NP left opens a
  // second pass of the same sequence, on an NP other than those of the layer before it (the
  // FNP3's NP, which conv2 takes, is free again for the classifier).
  const MappingRun run = map_on(v1_mesh(true, 2), v1_layers(4), devices::TwoNodesIP_v1);
  EXPECT_TRUE(run.group.ok()) << run.group.message();
  EXPECT_TRUE(run.remaining.empty());
  ASSERT_EQ(run.sequences.size(), 1u);
  EXPECT_EQ(run.sequences[0]->name(), "HW/hrc-fc");
  std::vector<std::vector<std::string>> passes;
  for (const auto& pass : run.sequences[0]->passes()) passes.push_back(names(pass->layers));
  ASSERT_EQ(passes, (std::vector<std::vector<std::string>>{{"hrc", "conv0", "conv1", "conv2"},
                                                          {"conv3", "fc"}}));
  const auto np_of = [&](size_t pass, size_t layer) {
    return run.sequences[0]->passes()[pass]->layers[layer]->mapping()->nps->at(0).ident;
  };
  EXPECT_FALSE(np_of(1, 0) == np_of(0, 3));
}

}  // namespace
}  // namespace morla
