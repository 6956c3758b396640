// v1 register recording: the HRC configuration and block sequence, CNP and FNP records on
// hand-placed NPs, routing and point-to-point words, and the threshold and activation-step
// limits.
#include <gtest/gtest.h>

#include "backend/v1/cnp_recording.h"
#include "backend/v1/cnp_registers.h"
#include "backend/v1/fnp_recording.h"
#include "backend/v1/hrc_recording.h"
#include "backend/v1/np_errors.h"
#include "backend/v1/np_routing.h"
#include "core/mesh.h"
#include "core/virtual_device.h"
#include "mapping/pass_mapping.h"
#include "test_helpers.h"
#include "v1_test_support.h"

namespace morla::v1 {
namespace {

using namespace v1_test;

std::shared_ptr<Device> device() {
  const Mesh mesh(IpVersion::v1, hw::Ident{1, 1, 0, 0}, hw::Ident{3, 4, 2, 0}, np::Info::hrc(false),
                  {}, {});
  return make_virtual_device(v1_version(), mesh);
}

hw::Component component(hw::Type type, hw::Ident ident, std::optional<hw::NpBlock> block = {}) {
  hw::Component c;
  c.type = type;
  c.ident = ident;
  c.np_block = block;
  return c;
}

// ---- HRC (its words: hrc_layout_refs_test) ---------------------------------------------

TEST(HrcRecording, EmptyMemoryGetsNoBlocks) {
  program::Record record(0);
  append_hrc_memory_block(record, RegisterField{1, 1}, {});
  EXPECT_TRUE(record.buffers().empty());
}

TEST(HrcRecording, ThresholdBeyond24BitsPanics) {
  const auto threshold = Dense::create(TensorType::int32, Shape{2}, Dense::Layout::RowMajor);
  const auto steps = Dense::create(TensorType::int32, Shape{2}, Dense::Layout::RowMajor);
  threshold->set<int32_t>(1, 8388608);
  EXPECT_EQ(
      test::error_text<std::runtime_error>([&] { pack_hrc_threshold_words(*threshold, *steps); }),
      "8388608 cannot fit in a 24-bit signed integer");
}

// ---- Thresholds --------------------------------------------------------------------------

struct Neurons {
  std::shared_ptr<Dense> threshold =
      Dense::create(TensorType::int32, Shape{2}, Dense::Layout::RowMajor);
  std::shared_ptr<Dense> step = Dense::create(TensorType::int32, Shape{2}, Dense::Layout::RowMajor);
};

TEST(CnpThresholds, ThresholdBeyondTwentyBitsPanics) {
  Neurons n;
  n.threshold->set<int32_t>(0, 0x80000);
  EXPECT_EQ(test::error_text<std::runtime_error>(
                [&] { build_cnp_threshold_words(*n.threshold, *n.step, true, 0, 1); }),
            "524288 cannot fit in a 20-bit signed integer");
}

TEST(CnpThresholds, ActivationStepOutOfRangeThrowsEvenWithoutActivation) {
  Neurons n;
  for (const auto& [step, shown] :
       std::vector<std::pair<int32_t, std::string>>{{0x100000, "65536"}, {-16, "-1"}}) {
    n.step->set<int32_t>(0, step);
    for (bool activation : {true, false})
      EXPECT_EQ(
          test::error_text<CnpError>(
              [&] { build_cnp_threshold_words(*n.threshold, *n.step, activation, 0, 1); }),
          "Backend hardware(CNP): act_step should be between 0 and 65535. Receives act_step " +
              shown + ".");
  }
}

// ---- Routing and point to point -----------------------------------------------------------

TEST(NpRouting, SpansOfFeedingOwnAndFollowingComponents) {
  RegisterBlock block = init_np_registers();
  const ComponentList feeding = {component(hw::Type::HRC, {})};
  const ComponentList nps = {component(hw::Type::CNP1, {2, 1, 0, 0}),
                             component(hw::Type::CNP1, {3, 1, 1, 0})};
  const ComponentList following = {component(hw::Type::FNP3, {5, 2, 0, 0})};
  record_np_routing(block, feeding, nps, following, 4, false, true);
  EXPECT_EQ(block[44], 0xFF080004u);  // last of pass, 8, next order given
  EXPECT_EQ(block[45], 0x04000505u);  // a lone following NP: its column twice
  EXPECT_EQ(block[46], 0x0101u);      // a lone HRC reads as column 1
  EXPECT_EQ(block[47], 0x0502u);
  record_np_routing(block, feeding, nps, following, 255, false, false);
  EXPECT_EQ(bits(block[44], 24, 8), 6u);
}

TEST(NpRouting, PointToPointOutputNamesItsOneTarget) {
  RegisterBlock block = init_np_registers();
  const ComponentList feeding = {component(hw::Type::DMA, {1, 1, 0, 0})};
  const ComponentList nps = {component(hw::Type::CNP1, {2, 1, 0, 0})};
  record_np_routing(block, feeding, nps, {component(hw::Type::CNP1, {4, 3, 2, 0})}, 7, true, false);
  EXPECT_EQ(block[45], 0x07400403u);  // row 3, column 4, NP 2 selected
  const ComponentList two = {component(hw::Type::CNP1, {4, 3, 0, 0}),
                             component(hw::Type::CNP1, {5, 3, 0, 0})};
  EXPECT_EQ(test::error_text<std::runtime_error>(
                [&] { record_np_routing(block, feeding, nps, two, 7, true, false); }),
            "Cannot use P2P mode for multiple NPs.");
}

TEST(NpRouting, DmaConfigurationWord) {
  RegisterBlock block(50, 0);
  record_np_dma_conf(block, hw::Ident{3, 4, 2, 0});
  EXPECT_EQ(block[49], 0x40304u);
}

TEST(NpP2p, FnpTargetTakesAtLeast9473InputWords) {
  // The next pass's first layer: a FullyConnected of 2 x 2 x 8 four-bit inputs on an FNP3.
  const Built next = after_input(LayerType::FullyConnected, {{"units", 4}}, 2, 2, 8);
  const hw::Component fnp = component(hw::Type::FNP3, {2, 1, 0, 0});
  make_layer_mapping(next.layer, {fnp}, 1, std::nullopt, std::nullopt)->previous_pass_order = 3;
  RegisterBlock cnp_block = init_np_registers();
  record_np_p2p(cnp_block, *next.layer, fnp);
  EXPECT_EQ(cnp_block[32],
            0x03000027u);  // on, to an FNP, on, input bits 4 -> 2, previous pass order 3
  EXPECT_EQ(cnp_block[34], 0x00020002u);
  EXPECT_EQ(cnp_block[35], 4u);
  EXPECT_EQ(bits(cnp_block[4], 0, 18), 9473u);
  EXPECT_EQ(bits(cnp_block[14], 0, 18), 9473u);
  // A block with word 1 bit 4 set keeps the largest candidate: the input's one word.
  RegisterBlock fnp_block = init_np_registers();
  fnp_block[1] |= 1u << 4;
  record_np_p2p(fnp_block, *next.layer, fnp);
  EXPECT_EQ(bits(fnp_block[4], 0, 18), 1u);
}

TEST(NpP2p, CnpTargetReadsItsWindow) {
  const Built next =
      after_input(LayerType::Convolutional,
                  {{"kernel_width", 3}, {"kernel_height", 3}, {"filters", 8}}, 16, 16, 8);
  const hw::Component cnp = component(
      hw::Type::CNP1, {2, 1, 0, 0},
      hw::NpBlock{0, 8, NpSpace{8, 0, Shape{8, 16, 8}}, NpSpace{7, 0, Shape{9, 16, 8}}, false});
  make_layer_mapping(next.layer, {cnp}, 1, std::nullopt, std::nullopt);
  RegisterBlock block = init_np_registers();
  record_np_p2p(block, *next.layer, cnp);
  EXPECT_EQ(block[33], 7u << 16);
  EXPECT_EQ(block[34], 9u << 16 | 16u);
  // 9 four-bit values: 5 bytes a line; 8 channels: 10 words a row.
  EXPECT_EQ(block[35], 5u << 16 | 10u);
  EXPECT_EQ(bits(block[4], 0, 18), 160u);  // the window: 10 words x 16 rows
}

// ---- FNP ------------------------------------------------------------------------------------

const Entries kFc = {{"units", 3}, {"weights_bits", 4}, {"activation", 1}, {"act_bits", 2}};

Built placed_fc(hw::Type type, const Entries& entries = kFc) {
  Built b = after_input(LayerType::FullyConnected, entries, 1, 1, 33, 2);
  auto mapping = make_layer_mapping(b.layer, {component(type, {2, 1, 0, 0})}, 1, 0x0101, 0x0101);
  (void)mapping;
  return b;
}

TEST(FnpRecording, Fnp3TakesItsImageAsABlock) {
  const Built b = placed_fc(hw::Type::FNP3);
  const auto record = record_fully_connected(*device(), *b.layer, {});
  const auto all = blocks(*record);
  ASSERT_EQ(block_kinds(*record), (std::vector<std::pair<uint32_t, uint32_t>>{{8, 0}, {6, 0}}));
  const auto& regs = all[0].words;
  EXPECT_EQ(bits(regs[1], 20, 2), 1u);
  EXPECT_EQ(bits(regs[1], 24, 2), 1u);
  EXPECT_EQ(bits(regs[17], 0, 16), 3u * 16);  // 33 inputs, 4 bits: 16 words a neuron
  EXPECT_EQ(bits(regs[17], 20, 4), 1u);
  EXPECT_EQ(regs[49], 0u);
  EXPECT_EQ(all[1].words.size(), 48u);
  EXPECT_EQ(record->external_block(), nullptr);
}

TEST(FnpRecording, Fnp2KeepsItsImageInExternalMemory) {
  const Built b = placed_fc(hw::Type::FNP2);
  const auto record = record_fully_connected(*device(), *b.layer, {});
  ASSERT_EQ(block_kinds(*record), (std::vector<std::pair<uint32_t, uint32_t>>{{8, 0}}));
  const auto regs = blocks(*record)[0].words;
  EXPECT_EQ(bits(regs[1], 20, 2), 3u);
  EXPECT_EQ(bits(regs[1], 24, 2), 0u);
  EXPECT_EQ(regs[17], 0u);
  EXPECT_EQ(regs[49], 0x40304u);  // the mesh's configuration DMA
  ASSERT_NE(record->external_block(), nullptr);
  EXPECT_EQ(record->external_block()->key, program::ident_key(hw::Ident{2, 1, 0, 0}));
  EXPECT_EQ(record->external_block()->words.size(), 48u);
}

TEST(FnpRecording, LeftOutNpGivesAnEmptyRecordAndHandoverOnlyRegisters) {
  const Built b = placed_fc(hw::Type::FNP3);
  PassPlacement skip;
  skip.skip_idents = {hw::Ident{2, 1, 0, 0}};
  const auto empty = record_fully_connected(*device(), *b.layer, skip);
  EXPECT_TRUE(empty->buffers().empty());
  EXPECT_EQ(empty->external_block(), nullptr);
  PassPlacement handover;
  handover.handover = true;
  EXPECT_EQ(block_kinds(*record_fully_connected(*device(), *b.layer, handover)).size(), 1u);
}

TEST(FnpRecording, FourBitInputsNeedSingleBuffer) {
  Built b = after_input(LayerType::FullyConnected, kFc, 1, 1, 8, 4);
  make_layer_mapping(b.layer, {component(hw::Type::FNP3, {2, 1, 0, 0})}, 1, 0x0101, 0x0101);
  EXPECT_EQ(test::error_text<std::invalid_argument>(
                [&] { record_fully_connected(*device(), *b.layer, {}); }),
            "4-bit FNP inputs require single buffer mode.");
}

TEST(FnpImage, ActivationStepBeyondTwentyBitsThrows) {
  const Built b = placed_fc(hw::Type::FNP3);
  const auto weights = b.layer->variables().get("weights");
  auto threshold = Dense::create(TensorType::int32, Shape{3}, Dense::Layout::RowMajor);
  auto steps = Dense::create(TensorType::int32, Shape{3}, Dense::Layout::RowMajor);
  steps->set<int32_t>(2, 1048576);
  EXPECT_EQ(test::error_text<FnpError>(
                [&] { build_fnp_weight_image(*weights, *threshold, *steps, 4, true); }),
            "Backend hardware(FullyConnected): act_step should be between 0 and 65535. Receives "
            "act_step 65536.");
}

TEST(FnpImage, NegativeOneBitWeightThrowsNamingTheFirst) {
  // Neuron 1's inputs 40 and 45 (its second group of 32) are negative: the first one is named.
  std::shared_ptr<Dense> weights(
      Dense::create(TensorType::int8, Shape{2, 70}, Dense::Layout::ColMajor));
  const auto strides = weights->strides();
  weights->mutable_data<int8_t>()[1 * strides[0] + 40 * strides[1]] = -3;
  weights->mutable_data<int8_t>()[1 * strides[0] + 45 * strides[1]] = -1;
  auto threshold = Dense::create(TensorType::int32, Shape{2}, Dense::Layout::RowMajor);
  auto steps = Dense::create(TensorType::int32, Shape{2}, Dense::Layout::RowMajor);
  EXPECT_EQ(test::error_text<std::invalid_argument>(
                [&] { build_fnp_weight_image(*weights, *threshold, *steps, 1, false); }),
            "1-bit FNP weights must be 0 or 1 (got -3).");
}

// ---- CNP ----------------------------------------------------------------------------------

const Entries kConv = {{"kernel_width", 3}, {"kernel_height", 3}, {"filters", 16},
                       {"weights_bits", 4}, {"activation", 1},    {"act_bits", 2}};

// The layer split over two CNPs by filters: 8 neurons each over the whole 16 x 8 input.
Built placed_conv(LayerType type, const Entries& entries = kConv) {
  Built b = after_input(type, entries, 16, 8, 4, 2);
  if (type == LayerType::SeparableConvolutional) {
    fill<int8_t>(*b.layer, "weights", 1);
    fill<int8_t>(*b.layer, "weights_pw", 1);
  }
  const NpSpace all{0, 0, Shape{16, 8, 4}};
  make_layer_mapping(b.layer,
                     {component(hw::Type::CNP1, {2, 1, 0, 0}, hw::NpBlock{0, 8, all, all, false}),
                      component(hw::Type::CNP1, {3, 1, 0, 0}, hw::NpBlock{8, 8, all, all, true})},
                     1, 0x0101, 0x0101);
  return b;
}

TEST(CnpRecording, EachNpGetsRegistersWeightsAndThresholds) {
  const Built b = placed_conv(LayerType::Convolutional);
  const auto record = record_convolutional(*device(), *b.layer, {});
  const std::vector<std::pair<uint32_t, uint32_t>> per_np = {{8, 0}, {0, 0}, {4, 0}};
  auto expected = per_np;
  expected.insert(expected.end(), per_np.begin(), per_np.end());
  EXPECT_EQ(block_kinds(*record), expected);
  const auto all = blocks(*record);
  EXPECT_EQ(all[0].col, 2);
  EXPECT_EQ(all[3].col, 3);
  const auto& regs = all[3].words;
  EXPECT_EQ(bits(regs[26], 0, 11), 8u);   // start neuron
  EXPECT_EQ(bits(regs[26], 16, 11), 8u);  // neurons
  EXPECT_EQ(bits(regs[1], 22, 1), 1u);    // single buffer
  EXPECT_EQ(bits(regs[3], 16, 8), 2u);    // NPs of the layer
  EXPECT_EQ(bits(regs[3], 3, 1), 1u);     // 4-bit weights
  EXPECT_EQ(bits(regs[8], 0, 11), 8u);    // height
  EXPECT_EQ(bits(regs[8], 16, 11), 16u);  // width
  EXPECT_EQ(bits(regs[11], 0, 8), 16u);
  EXPECT_EQ(bits(regs[20], 28, 3), 3u);
  EXPECT_EQ(bits(regs[25], 0, 10), 8u);
  EXPECT_EQ(bits(regs[25], 16, 8), 16u);
  // 4 channels x 32 weight words: 8 a channel, 2 in units of four.
  EXPECT_EQ(all[1].words.size(), 128u);
  EXPECT_EQ(bits(regs[11], 12, 10), 8u);
  EXPECT_EQ(all[2].words.size(), 16u);  // 8 neurons, two words each
}

TEST(CnpRecording, LeftOutNpsAndHandover) {
  const Built b = placed_conv(LayerType::Convolutional);
  PassPlacement placement;
  placement.skip_idents = {hw::Ident{2, 1, 0, 0}};
  const auto record = record_convolutional(*device(), *b.layer, placement);
  const auto all = blocks(*record);
  ASSERT_EQ(all.size(), 3u);
  for (const auto& block : all) EXPECT_EQ(block.col, 3);
  placement.skip_idents.clear();
  placement.handover = true;
  placement.first_of_pass = true;
  const auto handover = record_convolutional(*device(), *b.layer, placement);
  EXPECT_EQ(block_kinds(*handover), (std::vector<std::pair<uint32_t, uint32_t>>{{8, 0}, {8, 0}}));
  EXPECT_EQ(bits(blocks(*handover)[0].words[2], 7, 1), 1u);
}

TEST(CnpRecording, SeparableNpsGetDepthwiseThenPointwiseWeights) {
  const Built b = placed_conv(LayerType::SeparableConvolutional);
  const auto record = record_separable_convolutional(*device(), *b.layer, {});
  const auto all = blocks(*record);
  // 4 channels, 3 x 3 four-bit kernels: one slot each, 8 depthwise words: field 1.
  ASSERT_EQ(all.size(), 8u);
  EXPECT_EQ(block_kinds(*record)[2], (std::pair<uint32_t, uint32_t>{0, 1}));
  EXPECT_EQ(all[1].words.size(), 8u);
  // 8 four-bit pointwise filters fit one 48-bit group: one slot for each of the 4 channels.
  EXPECT_EQ(all[2].words.size(), 4u * 2);
  EXPECT_EQ(bits(all[0].words[3], 2, 1), 1u);
  EXPECT_EQ(bits(all[0].words[20], 0, 7), 1u);
  EXPECT_EQ(bits(all[0].words[22], 16, 14), 8u);  // 16 depthwise words (rounded) / 2
}

}  // namespace
}  // namespace morla::v1
