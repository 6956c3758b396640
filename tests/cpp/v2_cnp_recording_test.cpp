// Recording of the v2 convolution layers and their merge programming, read back from the
// record's word buffers.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "backend/v2/cnp_recorder.h"
#include "backend/v2/merge_programming.h"
#include "backend/v2/variable_access.h"
#include "contract/layer_mapping.h"
#include "test_helpers.h"
#include "v2_test_support.h"

namespace morla::v2 {
namespace {

using v2test::bits;
using v2test::Block;
using v2test::blocks_of;
using v2test::fill_values;
using v2test::make_tensor;
using v2test::replace_variable;
using v2test::V2Model;

// Header codes of the block types.
constexpr uint8_t kRegisters = 8, kInputShift = 2, kShifts = 4, kLut = 5, kMergeShift = 3;

hw::Component np(uint8_t col, uint8_t id, uint32_t first, uint32_t filters, const Shape& input) {
  return v2test::np_part(hw::Type::CNP2, col, id, first, filters, input);
}

hw::Component dma(hw::Type type, uint8_t col, uint8_t channel = 0) {
  return v2test::component(type, col, 2, 0, channel);
}

// Maps `layer` on two NPs of column 1 that share its filters, fed by the input DMA and
// feeding column 3.
std::shared_ptr<LayerMapping> map_on_two_nps(Layer& layer, uint32_t filters) {
  auto m = std::make_shared<LayerMapping>();
  m->order = 2;
  m->next_order = 3;
  const Shape input = layer.input_dims();
  m->nps = share_components(
      {np(1, 0, 0, filters / 2, input), np(1, 1, filters / 2, filters - filters / 2, input)});
  m->inbound = {share_components({dma(hw::Type::DMA, 0)})};
  m->outbound = {share_components({np(3, 0, 0, 4, input)})};
  layer.mapping() = m;
  return m;
}

struct V2Recording : testing::Test {
  VirtualDevice device{v2test::v2_version(), v2test::v2_mesh()};
  V2Model model;
};

TEST_F(V2Recording, ConvBlocksPerNpInOrder) {
  const auto conv = model.conv("c", {"in"});
  map_on_two_nps(*conv, 4);
  fill_values<uint8_t>(*conv->variables().get("input_shift"), {1, 2, 3, 4});
  const auto record = record_conv2d(device, *conv, {});
  const auto blocks = blocks_of(*record);
  ASSERT_EQ(blocks.size(), 8u);
  const uint8_t codes[] = {kRegisters, 1, kInputShift, kShifts};
  for (size_t i = 0; i < blocks.size(); ++i) {
    EXPECT_EQ(blocks[i].code, codes[i % 4]) << i;
    EXPECT_EQ(blocks[i].mask, 1u << (i / 4)) << i;  // NP id 0 then 1
  }
  // Both NPs get the whole input-shift image; their configuration their own filters.
  EXPECT_EQ(blocks[2].words, blocks[6].words);
  EXPECT_EQ(blocks[2].words[0], 0x04030201u);
  EXPECT_EQ(bits(blocks[4].words[26], 0, 10), 2u);
  EXPECT_EQ(bits(blocks[4].words[26], 16, 25), 2u);
  EXPECT_EQ(bits(blocks[0].words[3], 24, 31), 2u);  // the pass byte
  EXPECT_EQ(record->key(), 0x0001A24Bu);            // version bytes 4B A2 01 00
}

TEST_F(V2Recording, RegistersOnlyAndSkippedNps) {
  const auto conv = model.conv("c", {"in"});
  map_on_two_nps(*conv, 4);
  RecorderFlags flags;
  flags.registers_only = true;
  auto blocks = blocks_of(*record_conv2d(device, *conv, flags));
  ASSERT_EQ(blocks.size(), 2u);
  for (const auto& b : blocks) {
    EXPECT_EQ(b.code, kRegisters);
    EXPECT_EQ(b.words.size(), 64u);
    EXPECT_EQ(bits(b.words[3], 24, 31), 254u);
  }
  flags.registers_only = false;
  flags.skip_idents = {hw::Ident{1, 1, 0, 0}};
  blocks = blocks_of(*record_conv2d(device, *conv, flags));
  ASSERT_EQ(blocks.size(), 4u);
  for (const auto& b : blocks) EXPECT_EQ(b.mask, 2u);
}

TEST_F(V2Recording, DepthwiseNpsGetTheirOwnChannels) {
  const auto dw = model.add("dw", LayerType::DepthwiseConv2D, {{"kernel_size", 3}}, {"in"});
  map_on_two_nps(*dw, 4);
  fill_values<uint8_t>(*dw->variables().get("input_shift"), {1, 2, 3, 4});
  const auto blocks = blocks_of(*record_depthwise_conv2d(device, *dw, {}));
  ASSERT_EQ(blocks.size(), 8u);
  EXPECT_EQ(blocks[2].words[0], 0x0201u);
  EXPECT_EQ(blocks[6].words[0], 0x0403u);
  EXPECT_EQ(blocks[1].words.size(), 3u * 2);  // two channels of 3x3 weights
}

TEST_F(V2Recording, PoolSizeInWord27) {
  const auto gap = model.conv("gap", {"in"}, {{"pool_type", 2}, {"pool_size", -1}});
  map_on_two_nps(*gap, 4);
  EXPECT_EQ(bits(blocks_of(*record_conv2d(device, *gap, {}))[0].words[27], 0, 2), 1u);
  const auto max = model.conv("max", {"in"}, {{"pool_type", 1}, {"pool_size", 2}});
  map_on_two_nps(*max, 4);
  EXPECT_EQ(bits(blocks_of(*record_conv2d(device, *max, {}))[0].words[27], 0, 2), 2u);
}

TEST_F(V2Recording, LookUpTableAndTransposedLayers) {
  const auto lut = model.conv("lut", {"in"}, {{"activation", 2}});
  map_on_two_nps(*lut, 4);
  auto blocks = blocks_of(*record_conv2d(device, *lut, {}));
  ASSERT_EQ(blocks.size(), 10u);
  EXPECT_EQ(blocks[4].code, kLut);
  EXPECT_EQ(blocks[4].words.size(), 1024u);
  replace_variable(*lut, "lut_values", TensorType::int32, Shape{16});
  EXPECT_THROW(record_conv2d(device, *lut, {}), std::runtime_error);

  const auto t =
      model.add("t", LayerType::Conv2DTranspose, {{"kernel_size", 3}, {"filters", 4}}, {"in"});
  map_on_two_nps(*t, 4);
  blocks = blocks_of(*record_conv2d_transpose(device, *t, {}));
  ASSERT_EQ(blocks.size(), 8u);
  EXPECT_EQ(bits(blocks[0].words[20], 9, 9), 1u);  // transposed
  EXPECT_EQ(bits(blocks[0].words[27], 0, 6), 1u | 1u << 4);
}

TEST_F(V2Recording, RefusesAnotherTypeAndShortVariables) {
  const auto conv = model.conv("c", {"in"});
  map_on_two_nps(*conv, 4);
  EXPECT_EQ(
      test::error_text<std::runtime_error>([&] { record_depthwise_conv2d(device, *conv, {}); }),
      "Invalid layer type for CNP recording.");
  replace_variable(*conv, "output_scales", TensorType::uint8, Shape{3});
  EXPECT_EQ(test::error_text<std::runtime_error>([&] { record_conv2d(device, *conv, {}); }),
            "Layer 'c': variable 'output_scales' holds 3 elements, elements 2 to 3 are needed.");
  EXPECT_THROW(record_conv2d(device, *model["in"], {}), std::runtime_error);
  EXPECT_EQ(
      test::error_text<std::runtime_error>([&] { required_variable(*model["in"], "weights"); }),
      "Layer 'in' has no variable 'weights'.");
}

// in -> a -> b -> add, a -> add, add -> m: `m` merges through a skip DMA.
struct V2MergeRecording : V2Recording {
  void SetUp() override {
    model.conv("a", {"in"});
    model.conv("b", {"a"});
    add = model.add("add", LayerType::Add, {}, {"b", "a"});
    merge = model.conv("m", {"add"});
    mapping = map_on_two_nps(*merge, 4);
    mapping->skip_dma_loads = {dma(hw::Type::SKIP_DMA_LOAD, 4, 1)};
    mapping->skip_dma_stores = {dma(hw::Type::SKIP_DMA_STORE, 5, 0)};
    mapping->store_info = SkipStoreInfo{2, 1, 3};
    mapping->load_info = SkipLoadInfo{6, 2, 1, 0};
    MergeInfo info;
    info.is_add = true;
    info.index = 5;
    info.a_shift = add->variables().get("a_shift");
    info.b_shift = add->variables().get("b_shift");
    info.output_shift = add->variables().get("output_shift");
    mapping->merge_info = info;
  }
  LayerPtr add, merge;
  std::shared_ptr<LayerMapping> mapping;
};

std::vector<uint32_t> fields_for(const std::vector<Block>& blocks, uint8_t col) {
  std::vector<uint32_t> out;
  for (const auto& b : blocks)
    if (b.col == col && b.code == kRegisters && b.words.size() != 64) out.push_back(b.field);
  return out;
}

TEST_F(V2MergeRecording, RegisterAddressesOfTheChannels) {
  program::Record record(0);
  record_merge_layers(record, *merge);
  const auto blocks = blocks_of(record);
  EXPECT_EQ(fields_for(blocks, 5), (std::vector<uint32_t>{28, 34, 60, 4097, 4132, 4134}));
  EXPECT_EQ(fields_for(blocks, 4), (std::vector<uint32_t>{259, 296, 4097, 4356, 4395}));
  for (const auto& b : blocks)
    if (b.col == 4 && b.field == 4356) {
      ASSERT_EQ(b.words.size(), 3u);
      EXPECT_EQ(b.words[0], 1u | 1u << 16 | 1u << 24);  // the merge NPs: column span 1..1
      EXPECT_EQ(b.words[2], 1u | 6u << 8 | 5u << 16 | 5u << 24);
    }
}

TEST_F(V2MergeRecording, MergeShiftsOnlyForAnAdd) {
  fill_values<uint8_t>(*add->variables().get("a_shift"), {1, 2, 3, 1});
  auto blocks = blocks_of(*record_conv2d(device, *merge, {}));
  size_t merge_shift_blocks = 0;
  for (const auto& b : blocks)
    if (b.code == kMergeShift) {
      ++merge_shift_blocks;
      EXPECT_EQ(b.words.size(), 1u);  // every NP gets all four channels
      EXPECT_EQ(bits(b.words[0], 0, 3), 1u);
    }
  EXPECT_EQ(merge_shift_blocks, 2u);
  mapping->merge_info->is_add = false;
  blocks = blocks_of(*record_conv2d(device, *merge, {}));
  for (const auto& b : blocks) EXPECT_NE(b.code, kMergeShift);
  mapping->merge_info->is_add = true;
  mapping->merge_info->b_shift = nullptr;
  EXPECT_THROW(record_conv2d(device, *merge, {}), std::runtime_error);
}

// The next pass's first layer reads what this layer's NP leaves: its input format is written
// into the NP's block when the companion's mapping holds the same NP.
TEST_F(V2Recording, CompanionInputFormat) {
  const auto conv = model.conv("c", {"in"});
  map_on_two_nps(*conv, 4);
  const auto next = model.conv("next", {"c"}, {{"filters", 2}});
  auto next_mapping = map_on_two_nps(*next, 2);
  next_mapping->previous_pass_order = 9;
  RecorderFlags flags;
  flags.companion = next;
  flags.p2p_flag = true;
  const auto blocks = blocks_of(*record_conv2d(device, *conv, flags));
  const auto& w = blocks[0].words;
  EXPECT_EQ(bits(w[32], 0, 2), 0b101u);  // enabled, CNP source
  EXPECT_EQ(bits(w[32], 4, 5), 3u);      // 8-bit inputs
  EXPECT_EQ(bits(w[32], 24, 31), 9u);    // the companion's second pass byte
  EXPECT_EQ(bits(w[44], 15, 15), 1u);
  EXPECT_EQ(w[34], 8u | 8u << 16);               // its 8 x 8 window
  EXPECT_EQ(bits(w[35], 16, 31), 8u);            // rows of 8 bytes
  EXPECT_EQ(bits(w[35], 0, 13), (4u * 8) >> 2);  // 4 channels of them, in words
  EXPECT_EQ(bits(w[41], 24, 30), 2u);            // the companion's NPs
  RecorderFlags strangers;
  strangers.companion = model.conv("other", {"in"});
  auto other = map_on_two_nps(*strangers.companion, 4);
  (*other->nps)[0].ident.col = 7;
  (*other->nps)[1].ident.col = 7;
  EXPECT_EQ(blocks_of(*record_conv2d(device, *conv, strangers))[0].words[32], 0u);
}

}  // namespace
}  // namespace morla::v2
