// A v1 model mapped through the mapping core on a virtual v1 device: every layer checks,
// maps, sizes and records with the IP v1 back end.
#include <gtest/gtest.h>

#include "backend/v1/cnp_weight_sizes.h"
#include "backend/v1/fnp_sizes.h"
#include "backend/v1/hrc_recording.h"
#include "engine_api/sequence.h"
#include "core/mesh.h"
#include "core/virtual_device.h"
#include "hwmap/hardware_backend.h"
#include "mapping/component_pool.h"
#include "mapping/map_constraints.h"
#include "mapping/pass_mapping.h"
#include "program/hardware_pass.h"
#include "v1_test_support.h"

namespace morla::v1 {
namespace {

using namespace v1_test;
using Kinds = std::vector<std::pair<uint32_t, uint32_t>>;

np::Info np_info(uint8_t col, uint8_t row, uint8_t id, std::set<hw::Type> types) {
  return np::Info{hw::Ident{col, row, id, 0}, std::move(types), false};
}

std::shared_ptr<Device> v1_device(hw::Type fnp) {
  std::vector<np::Info> nps;
  for (uint8_t col = 1; col <= 3; ++col)
    for (uint8_t id = 0; id < 4; ++id) nps.push_back(np_info(col, 1, id, {hw::Type::CNP1}));
  nps.push_back(np_info(4, 1, 0, {hw::Type::CNP1, fnp}));
  const Mesh mesh(IpVersion::v1, hw::Ident{0, 1, 0, 0}, hw::Ident{0, 1, 1, 0}, np::Info::hrc(false),
                  nps, {});
  return make_virtual_device(v1_version(), mesh);
}

// InputConvolutional -> Convolutional -> SeparableConvolutional -> FullyConnected.
struct V1Model {
  std::unique_ptr<Model> model = Model::create();
  LayerList layers;

  explicit V1Model(int fc_units) {
    add(LayerType::InputConvolutional,
        {{"input_width", 16},
         {"input_height", 12},
         {"input_channels", 1},
         {"kernel_width", 3},
         {"kernel_height", 3},
         {"filters", 8},
         {"activation", 1},
         {"act_bits", 2}},
        "hrc");
    add(LayerType::Convolutional,
        {{"kernel_width", 3},
         {"kernel_height", 3},
         {"filters", 16},
         {"weights_bits", 4},
         {"act_bits", 2}},
        "conv");
    add(LayerType::SeparableConvolutional,
        {{"kernel_width", 3},
         {"kernel_height", 3},
         {"filters", 8},
         {"weights_bits", 2},
         {"act_bits", 1}},
        "separable");
    add(LayerType::FullyConnected, {{"units", fc_units}}, "fc");
    for (const char* name : {"weights", "weights_pw"}) fill<int8_t>(*layers[2], name, 1);
    fill<int8_t>(*layers[0], "weights", 1);
  }
  void add(LayerType type, const Entries& entries, const std::string& name) {
    auto layer = make_layer(type, entries, name);
    model->add(layer, layers.empty() ? LayerList{} : LayerList{layers.back()});
    layers.push_back(layer);
  }
};

struct Mapped {
  std::shared_ptr<Device> device;
  IpVersionSpecificHardwareBackend backend;
  std::vector<ComponentList> components;
  PassContext context;
};

// The mapping road of one sequence in one pass: check, map (the HRC layer takes the HRC)
// and check the placement of each layer, check each prefix of the sequence, then build
// the pass.
void map_one_pass(Mapped& m, const LayerList& layers) {
  const CompatibilityChecker& checker = m.backend.checker();
  const uint32_t hw = v1_word();
  // Pieces of at most 8 filters and 6 rows: the CNP layers spread over several NPs.
  MapConstraints constraints(m.device);
  constraints.set_cnp_max_filters(8);
  constraints.set_cnp_max_height(6);
  ComponentPool pool(checker, constraints);
  pool.init();
  for (const auto& layer : layers) {
    const MappingStatus status = checker.check_layer(layer, nullptr, hw);
    ASSERT_TRUE(status.ok()) << status.message();
    bool new_pass = false;
    LayerResult result;
    if (layer->is_target_component(ComponentKind::HRC))
      result.components = {hw::Component{hw::Type::HRC, hw::Ident{}, std::nullopt, {}}};
    else
      result = pool.map_layer(layer, {}, false, new_pass, false);
    ASSERT_TRUE(result.status.ok()) << result.status.message();
    ASSERT_FALSE(new_pass);
    const MappingStatus placement = checker.check_np_mapping(layer, result.components, false);
    ASSERT_TRUE(placement.ok()) << placement.message();
    m.components.push_back(result.components);
  }
  for (size_t n = 1; n <= layers.size(); ++n) {
    const MappingStatus sequence =
        checker.check_sequence(LayerList(layers.begin(), layers.begin() + n), hw);
    ASSERT_TRUE(sequence.ok()) << sequence.message();
  }
  m.context = build_pass_context(m.device, &m.backend, &m.backend.io_recorder(),
                                 &m.backend.layer_recorder());
  build_hardware_passes(m.context, layers, layers, m.components);
}

program::RecordPtr record(const Mapped& m, const LayerPtr& layer, const LayerPtr& first) {
  return m.backend.layer_recorder().record_layer(layer, first, nullptr, 0, 0, {}, 0, 0);
}

Kinds repeat(const Kinds& kinds, size_t times) {
  Kinds out;
  for (size_t i = 0; i < times; ++i) out.insert(out.end(), kinds.begin(), kinds.end());
  return out;
}

const MemoryInfo& memory(const Mapped& m, const LayerPtr& layer, const hw::Component& c,
                         MemoryInfo& out) {
  out = fill_memory_info(m.backend.sizer(), layer, c, m.context.layers.front(), false, false);
  return out;
}

class V1Mapping : public testing::TestWithParam<hw::Type> {};

TEST_P(V1Mapping, ModelChecksMapsSizesAndRecords) {
  const hw::Type fnp = GetParam();
  V1Model model(4);
  const auto device = v1_device(fnp);
  Mapped m{device, IpVersionSpecificHardwareBackend(device), {}, {}};
  map_one_pass(m, model.layers);
  if (testing::Test::HasFatalFailure()) return;
  const LayerPtr hrc = model.layers[0], conv = model.layers[1], separable = model.layers[2],
                 fc = model.layers[3];
  MemoryInfo info;

  // HRC: configuration; one weight memory (8 one-line filters), the thresholds; three
  // control words.
  const auto hrc_record = record(m, hrc, hrc);
  EXPECT_EQ(block_kinds(*hrc_record),
            (Kinds{{8, 8}, {8, 32}, {0, 40}, {8, 32}, {0, 40}, {8, 8}, {8, 0}, {8, 0}}));
  ASSERT_EQ(m.components[0].size(), 1u);
  memory(m, hrc, m.components[0][0], info);
  EXPECT_EQ(info.input_size, 0u);
  EXPECT_EQ(info.weight_size, 4u * (8 * 3 + 8 * 2));  // 8 lines of 3 words, 2 words a neuron

  // CNPs: registers, weights, thresholds on each NP of the layer.
  const ComponentList& conv_nps = m.components[1];
  ASSERT_FALSE(conv_nps.empty());
  EXPECT_EQ(block_kinds(*record(m, conv, hrc)), repeat({{8, 0}, {0, 0}, {4, 0}}, conv_nps.size()));
  for (const auto& np : conv_nps) {
    ASSERT_TRUE(np.np_block);
    const hw::NpBlock& piece = *np.np_block;
    memory(m, conv, np, info);
    // 16 two-bit values a line, the piece's channels and window rows.
    EXPECT_EQ(info.input_size, 4u * ((4 * piece.spatial_partition.shape[2] * 8 + 31) / 32) *
                                   piece.input_window.shape[1]);
    // 8 channels of 4-bit 3 x 3 filters: groups F8 x 6 / 8 rounded to 16, two words each.
    const uint32_t f8 = (piece.filters + 7) / 8 * 8;
    const uint32_t words = 8 * ((f8 * 6 / 8 + 15) / 16 * 16) * 2;
    EXPECT_EQ(info.weight_size, (words / 2 * 50 + 7) / 8);
  }

  const ComponentList& separable_nps = m.components[2];
  ASSERT_FALSE(separable_nps.empty());
  EXPECT_EQ(block_kinds(*record(m, separable, hrc)),
            repeat({{8, 0}, {0, 0}, {0, 1}, {4, 0}}, separable_nps.size()));
  for (const auto& np : separable_nps) {
    memory(m, separable, np, info);
    // 16 channels: depthwise 2-bit 3 x 3 kernels two to a slot (8 slots, 16 words, 16);
    // pointwise 2-bit filters in one 48-bit group a channel.
    EXPECT_EQ(info.weight_size, ((16u + 16 * 1 * 2) / 2 * 50 + 7) / 8);
  }

  // FNP: registers and the image (FNP3) or registers and an external image (FNP2). The
  // input: 16 x 12 x 8 one-bit values, 48 words; 4 neurons of 1536 inputs, 48 groups each.
  ASSERT_EQ(m.components[3].size(), 1u);
  const hw::Component& fnp_np = m.components[3][0];
  EXPECT_EQ(fnp_np.type, fnp);
  const auto fc_record = record(m, fc, hrc);
  memory(m, fc, fnp_np, info);
  EXPECT_EQ(info.input_size, 4u * 48);
  if (fnp == hw::Type::FNP3) {
    EXPECT_EQ(block_kinds(*fc_record), (Kinds{{8, 0}, {6, 0}}));
    EXPECT_EQ(info.weight_size, 4u * 4 * (48 + 4));
    EXPECT_EQ(info.external_size, 0u);
  } else {
    EXPECT_EQ(block_kinds(*fc_record), (Kinds{{8, 0}}));
    ASSERT_NE(fc_record->external_block(), nullptr);
    EXPECT_EQ(fc_record->external_block()->words.size(), 4u * (48 + 4));
    EXPECT_EQ(info.weight_size, 0u);
    EXPECT_EQ(info.external_size, 4u * 4 * (48 + 4));
  }

  // The pass links the layers: each CNP block routes from its feeders to the next layer.
  const auto conv_blocks = blocks(*record(m, conv, hrc));
  const uint32_t order = bits(conv_blocks[0].words[3], 24, 8);
  EXPECT_EQ(order, require_layer_mapping(*conv).order);
  EXPECT_EQ(bits(conv_blocks[0].words[45], 24, 8), require_layer_mapping(*conv).next_order);
  EXPECT_EQ(bits(conv_blocks[0].words[46], 0, 8), 1u);  // fed by the HRC
}

INSTANTIATE_TEST_SUITE_P(Fnps, V1Mapping, testing::Values(hw::Type::FNP3, hw::Type::FNP2),
                         [](const testing::TestParamInfo<hw::Type>& info) {
                           return info.param == hw::Type::FNP3 ? std::string("FNP3")
                                                               : std::string("FNP2");
                         });

// The whole road: the model's own map, through the mapping entry and the sequence
// program, with the last layer compiled for learning.
TEST(V1ModelMap, CompiledModelMapsIntoOneHardwareSequence) {
  V1Model model(4);
  model.model->compile(
      LearningParams::create(LearningType::MorlaUnsupervised, {{"num_weights", 8},
                                                               {"num_classes", 2},
                                                               {"initial_plasticity", 1},
                                                               {"learning_competition", 0.5},
                                                               {"min_plasticity", 0.1},
                                                               {"plasticity_decay", 0.25}}));
  const auto device = v1_device(hw::Type::FNP3);
  auto constraints = std::make_shared<MapConstraints>(device);
  constraints->set_cnp_max_filters(8);
  model.model->map(device, true, constraints);
  ASSERT_EQ(model.model->sequences().size(), 1u);
  const auto& sequence = model.model->sequences().front();
  EXPECT_EQ(sequence->backend(), BackendType::Hardware);
  EXPECT_GT(sequence->program().size, 0u);
  // Memory needs as the v1 sizer gives them: the FNP3 holds its input and its image.
  const LayerMapping& fc = require_layer_mapping(*model.layers[3]);
  ASSERT_EQ(fc.nps->size(), 1u);
  EXPECT_EQ(fc.nps->front().mem_info.input_size, 4u * 48);
  EXPECT_EQ(fc.nps->front().mem_info.weight_size, 4u * 4 * (48 + 4));
  const LayerMapping& conv = require_layer_mapping(*model.layers[1]);
  EXPECT_EQ(conv.nps->size(), 2u);  // 16 filters, 8 a CNP
  for (const auto& np : *conv.nps)
    EXPECT_EQ(np.mem_info.weight_size, (8u * 16 * 2 / 2 * 50 + 7) / 8);
}

TEST(V1Mapping, RefusalReachesTheUserAsOneMessage) {
  V1Model model(4);
  const auto device = v1_device(hw::Type::FNP3);
  const IpVersionSpecificHardwareBackend backend(device);
  const auto bad = make_layer(
      LayerType::Convolutional,
      {{"kernel_width", 2}, {"kernel_height", 2}, {"filters", 8}, {"weights_bits", 3}}, "bad");
  model.model->add(bad, {model.layers[1]});
  EXPECT_EQ(backend.checker().check_layer(bad, model.layers[1], v1_word()).message(),
            "Cannot map layer 'bad'. Kernel size must be 1, 3, 5 or 7. Standard CNP weights "
            "bitwidth must be 1, 2 or 4.");
}

}  // namespace
}  // namespace morla::v1
