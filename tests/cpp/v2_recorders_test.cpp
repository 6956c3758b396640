// The v2 FNP, HRC and TNP-B recorders, the IO and layer recorders, the back end made by the
// factory, and the v2 memory sizes.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "backend/v2/fnp_recorder.h"
#include "backend/v2/hrc_recorder.h"
#include "backend/v2/io_recorder.h"
#include "backend/v2/layer_recorder.h"
#include "backend/v2/memory_sizer.h"
#include "backend/v2/tnp_b_recorder.h"
#include "hwmap/hardware_backend.h"
#include "contract/layer_mapping.h"
#include "test_helpers.h"
#include "v2_test_support.h"

namespace morla::v2 {
namespace {

using v2test::bits;
using v2test::Block;
using v2test::blocks_of;
using v2test::fill_values;
using v2test::V2Model;

hw::Component component(hw::Type type, uint8_t col) { return v2test::component(type, col); }

hw::Component np_part(hw::Type type, uint8_t col, uint32_t first, uint32_t filters,
                      const Shape& input) {
  return v2test::np_part(type, col, 0, first, filters, input);
}

// Maps `layer` on `nps`, fed by the input DMA and feeding the output DMA.
std::shared_ptr<LayerMapping> install(Layer& layer, const ComponentList& nps) {
  auto m = std::make_shared<LayerMapping>();
  m->order = 1;
  m->nps = share_components(nps);
  m->inbound = {share_components({component(hw::Type::DMA, 0)})};
  m->outbound = {share_components({component(hw::Type::DMA, 0)})};
  layer.mapping() = m;
  return m;
}

std::vector<uint8_t> codes(const std::vector<Block>& blocks) {
  std::vector<uint8_t> out;
  for (const auto& b : blocks) out.push_back(b.code);
  return out;
}

struct V2Fixture : testing::Test {
  std::shared_ptr<VirtualDevice> device =
      std::make_shared<VirtualDevice>(v2test::v2_version(), v2test::v2_mesh());
  HardwareDescription description = v2test::v2_description();
};

// ---- FNP ------------------------------------------------------------------------------------

struct V2FnpRecording : V2Fixture {
  // A flat 5-input Dense1D of 2 neurons with 4-bit weights.
  void SetUp() override {
    model = std::make_unique<V2Model>(1, 1, 5);
    dense = model->add("d", LayerType::Dense1D,
                       {{"units", 2}, {"weights_bits", 4}, {"output_bits", 4}}, {"in"});
    fill_values<int8_t>(*dense->variables().get("weights"), {1, 0, 2, 0, 3, 0, 4, 0, 5, 0});
  }
  std::unique_ptr<V2Model> model;
  LayerPtr dense;
};

TEST_F(V2FnpRecording, Fnp2WeightsGoToTheExternalBlock) {
  install(*dense, {component(hw::Type::FNP2, 2)});
  const auto record = record_dense1d(*device, description, *dense, dense, {});
  const auto blocks = blocks_of(*record);
  EXPECT_EQ(codes(blocks), (std::vector<uint8_t>{8, 2}));
  EXPECT_EQ(bits(blocks[0].words[17], 0, 15), 5u);
  EXPECT_EQ(bits(blocks[0].words[17], 20, 23), 0u);
  ASSERT_NE(record->external_block(), nullptr);
  EXPECT_EQ(record->external_block()->key, program::ident_key(hw::Ident{2, 1, 0, 0}));
  // Per neuron: 2 parameter words and one word of five 4-bit weights.
  ASSERT_EQ(record->external_block()->words.size(), 6u);
  EXPECT_EQ(record->external_block()->words[2], 0x00054321u);
}

TEST_F(V2FnpRecording, Fnp3WeightsInTheProgram) {
  install(*dense, {component(hw::Type::FNP3, 2)});
  const auto blocks = blocks_of(*record_dense1d(*device, description, *dense, dense, {}));
  ASSERT_EQ(codes(blocks), (std::vector<uint8_t>{8, 2, 6}));
  EXPECT_EQ(blocks[2].words[2], 0x00054321u);
  EXPECT_EQ(bits(blocks[0].words[17], 0, 15), 6u % description[HardwareDescription::weight_units]);
  EXPECT_EQ(bits(blocks[0].words[17], 20, 23), 1u);
  auto no_weight_memory = description;
  no_weight_memory[HardwareDescription::weight_units] = 0;
  EXPECT_THROW(record_dense1d(*device, no_weight_memory, *dense, dense, {}), std::runtime_error);
}

TEST_F(V2FnpRecording, SkippedRegistersOnlyAndRefusedWidths) {
  install(*dense, {component(hw::Type::FNP3, 2)});
  RecorderFlags flags;
  flags.skip_idents = {hw::Ident{2, 1, 0, 0}};
  EXPECT_TRUE(record_dense1d(*device, description, *dense, dense, flags)->buffers().empty());
  flags.skip_idents.clear();
  flags.registers_only = true;
  const auto record = record_dense1d(*device, description, *dense, dense, flags);
  EXPECT_EQ(codes(blocks_of(*record)), (std::vector<uint8_t>{8, 2}));
  EXPECT_EQ(record->external_block(), nullptr);

  V2Model narrow(1, 1, 4, 2);
  const auto two_bit =
      narrow.add("d", LayerType::Dense1D, {{"units", 2}, {"weights_bits", 2}}, {"in"});
  install(*two_bit, {component(hw::Type::FNP3, 2)});
  EXPECT_EQ(test::error_text<std::runtime_error>(
                [&] { record_dense1d(*device, description, *two_bit, two_bit, {}); }),
            "Wrong input_bits at FNP recording.");
}

// ---- HRC ------------------------------------------------------------------------------------

LayerPtr input_conv(V2Model& m, int channels, v2test::Params extra = {}) {
  v2test::Params p{{"input_width", 16},
                   {"input_height", 16},
                   {"input_channels", channels},
                   {"kernel_size", 3},
                   {"filters", 4}};
  for (const auto& [k, v] : extra) p[k] = v;
  return m.add("h", LayerType::InputConv2D, p, {});
}

TEST_F(V2Fixture, HrcConfigurationAndClosingWrites) {
  V2Model m;
  const auto hrc = input_conv(m, 3);
  const auto blocks = blocks_of(*record_input_conv2d(*device, *hrc));
  ASSERT_GE(blocks.size(), 4u);
  EXPECT_EQ(blocks[0].field, 8u);
  ASSERT_EQ(blocks[0].words.size(), 5u);
  const uint32_t config = blocks[0].words[0];
  EXPECT_EQ(bits(config, 12, 12), 0u);                         // three channels
  EXPECT_EQ(bits(config, 13, 13) | bits(config, 20, 21), 0u);  // Same padding
  EXPECT_EQ(bits(blocks[0].words[4], 16, 24), 4u);
  const size_t n = blocks.size();
  EXPECT_EQ(blocks[n - 3].words, std::vector<uint32_t>{config & ~1u});
  EXPECT_EQ(blocks[n - 3].field, 8u);
  EXPECT_EQ(blocks[n - 2].words, std::vector<uint32_t>{1u});
  EXPECT_EQ(blocks[n - 1].words, std::vector<uint32_t>{0u});
  EXPECT_EQ(blocks[n - 2].field + blocks[n - 1].field, 0u);
  for (const auto& b : blocks)
    if (b.field == 32) {
      EXPECT_EQ(b.words[0] & (1u << 29), 0u);  // no look-up table
    }
}

TEST_F(V2Fixture, HrcRefusalsAndVariants) {
  V2Model m;
  EXPECT_EQ(test::error_text<std::runtime_error>(
                [&] { record_input_conv2d(*device, *input_conv(m, 2)); }),
            "Wrong number of channles at HRC recording.");
  V2Model single;
  const auto valid = input_conv(single, 1, {{"padding", 0}});
  const uint32_t config = blocks_of(*record_input_conv2d(*device, *valid))[0].words[0];
  EXPECT_EQ(bits(config, 12, 13), 3u);
  EXPECT_EQ(bits(config, 20, 21), 3u);
  V2Model wide;
  EXPECT_EQ(test::error_text<std::runtime_error>([&] {
              record_input_conv2d(*device, *input_conv(wide, 3, {{"filters", 512}}));
            }),
            "Attempted to write value 512 into a 9-bit field, which will cause an overflow.");
  V2Model lut;
  const auto blocks =
      blocks_of(*record_input_conv2d(*device, *input_conv(lut, 3, {{"activation", 2}})));
  bool table = false;
  for (size_t i = 0; i + 1 < blocks.size(); ++i)
    if (blocks[i].field == 32 && blocks[i].words[0] == 1u << 29)
      table = blocks[i + 1].words.size() == 2048;
  EXPECT_TRUE(table);
}

// ---- TNP-B ----------------------------------------------------------------------------------

TEST_F(V2Fixture, BufferTempConvFieldsAndFifoRowOrder) {
  V2Model m;
  const auto t = m.add("t", LayerType::BufferTempConv, {{"fifo_size", 2}, {"filters", 30}}, {"in"});
  auto* w = t->variables().get("weights")->mutable_data<int8_t>();  // (1, 1, 8, 30)
  for (int row = 0; row < 8; ++row) w[row * 30] = static_cast<int8_t>(row + 1);
  w[29] = 0x7F;  // filter 29 of row 0
  install(*t, {np_part(hw::Type::TNP_B, 2, 0, 30, Shape{8, 8, 4})});
  const auto blocks = blocks_of(*record_buffer_temp_conv(*device, *t, {}));
  ASSERT_EQ(codes(blocks), (std::vector<uint8_t>{8, 1, 2, 4}));
  const auto& regs = blocks[0].words;
  EXPECT_EQ(bits(regs[11], 12, 29), 4u);
  EXPECT_EQ(bits(regs[29], 16, 23), 4u);
  EXPECT_EQ(bits(regs[30], 8, 11), 2u);
  EXPECT_EQ(bits(regs[30], 16, 19), 3u);
  EXPECT_EQ(bits(regs[56], 16, 24), 1u);  // 8 x 8 x 4 bytes: 64 words
  const auto& image = blocks[1].words;
  ASSERT_EQ(image.size(), 8u * 12);
  // Source rows 0..7 of two frames of four rows land on image rows 0, 2, 4, 6, 1, 3, 5, 7.
  const uint32_t expected_rows[] = {0, 2, 4, 6, 1, 3, 5, 7};
  for (uint32_t row = 0; row < 8; ++row)
    EXPECT_EQ(image[expected_rows[row] * 12] & 0xFF, row + 1) << row;
  EXPECT_EQ(image[7], 0x7Fu << 8);  // byte 29 of row 0: the second group's sixth filter
  EXPECT_EQ(image[8] | image[9] | image[10] | image[11], 0u);

  RecorderFlags flags;
  flags.registers_only = true;
  const auto only = blocks_of(*record_buffer_temp_conv(*device, *t, flags));
  ASSERT_EQ(codes(only), (std::vector<uint8_t>{8}));
  EXPECT_EQ(bits(only[0].words[3], 24, 31), 254u);
}

TEST_F(V2Fixture, DepthwiseBufferTempConvChannelsAndTaps) {
  V2Model m;
  const auto t = m.add("t", LayerType::DepthwiseBufferTempConv, {{"fifo_size", 3}}, {"in"});
  auto* w = t->variables().get("weights")->mutable_data<int8_t>();  // (1, 1, 3, 4)
  for (int tap = 0; tap < 3; ++tap) w[tap * 4 + 2] = static_cast<int8_t>(tap + 1);
  w[2 * 4 + 3] = 9;
  install(*t, {np_part(hw::Type::TNP_B, 2, 2, 2, Shape{8, 8, 4})});
  const auto blocks = blocks_of(*record_depthwise_buffer_temp_conv(*device, *t, {}));
  ASSERT_EQ(codes(blocks), (std::vector<uint8_t>{8, 1, 2, 4}));
  EXPECT_EQ(bits(blocks[0].words[3], 10, 10), 1u);
  EXPECT_EQ(blocks[0].words[22], 2u | 2u << 16);
  ASSERT_EQ(blocks[1].words.size(), 24u);
  EXPECT_EQ(blocks[1].words[0], 0x030201u);
  EXPECT_EQ(blocks[1].words[3], 9u << 16);  // byte 14: the third tap of the next channel

  V2Model deep;
  const auto t13 = deep.add("t", LayerType::DepthwiseBufferTempConv, {{"fifo_size", 13}}, {"in"});
  install(*t13, {np_part(hw::Type::TNP_B, 2, 0, 4, Shape{8, 8, 4})});
  EXPECT_EQ(test::error_text<std::runtime_error>(
                [&] { record_depthwise_buffer_temp_conv(*device, *t13, {}); }),
            "Layer 't' has 13 taps per channel; a TNP-B holds at most 12.");
  EXPECT_EQ(
      test::error_text<std::runtime_error>([&] { record_buffer_temp_conv(*device, *t13, {}); }),
      "Invalid layer type for TNP-B recording.");
}

TEST(V2TnpBWeights, FifoMustDivideTheRows) {
  const auto w = v2test::make_tensor(TensorType::int8, Shape{1, 1, 6, 4});
  EXPECT_EQ(format_tnp_b_weights(*w, 3, 0, 4).size(), 6u * 6);
  EXPECT_THROW(format_tnp_b_weights(*w, 0, 0, 4), std::runtime_error);
  EXPECT_THROW(format_tnp_b_weights(*w, 4, 0, 4), std::runtime_error);
}

// ---- IO and layer recorders -----------------------------------------------------------------

TEST_F(V2Fixture, InputDmaWords) {
  IoRecorderImpl io(device);
  const auto words = [&](const Shape& b) {
    std::vector<uint32_t> out;
    for (const auto& block :
         blocks_of(*io.record_input(false, true, true, true, true, Shape{8, 8, 3}, b)))
      out.push_back(block.words.at(0));
    return out;
  };
  const auto flat = words(Shape{1, 1, 64});
  ASSERT_EQ(flat.size(), 3u);
  EXPECT_EQ(flat[0], 1u | 1u << 3 | 1u << 4 | 1u << 20);
  EXPECT_EQ(flat[1], 3u);
  EXPECT_EQ(flat[2], 0u);
  EXPECT_EQ(words(Shape{4, 4, 64})[2], 64u << 20 | 256u);
  EXPECT_EQ(words(Shape{4, 2, 4096})[2], 8192u);
  const auto hrc =
      blocks_of(*io.record_input(true, false, false, false, false, Shape{8, 8, 3}, Shape{1, 1, 2}));
  EXPECT_EQ(hrc[0].words[0], 1u << 3 | 1u << 4);
  EXPECT_EQ(hrc[1].field, 64u);
}

TEST_F(V2Fixture, OutputRegisters) {
  V2Model m;
  const auto dense = m.add("d", LayerType::Dense1D, {{"units", 4}}, {"in"});
  const auto conv = m.conv("c", {"in"});
  IoRecorderImpl io(device);
  const auto fnp = io.output_registers(dense, 2, 5, 7, true, false, false);
  ASSERT_EQ(fnp.size(), 6u);
  EXPECT_EQ(fnp[0],
            (std::pair<uint32_t, uint32_t>{0, 2u | 2u << 8 | 1u << 12 | 1u << 16 | 1u << 17}));
  EXPECT_EQ(fnp[2], (std::pair<uint32_t, uint32_t>{16, 1u | 2u << 16 | 5u << 24}));
  EXPECT_EQ(fnp[4], (std::pair<uint32_t, uint32_t>{24, 1u | 254u << 16 | 7u << 24}));
  EXPECT_EQ(bits(io.output_registers(conv, 2, 5, 7, false, false, false)[0].second, 0, 3), 0u);
}

TEST_F(V2Fixture, FactoryBuildsTheV2BackEnd) {
  IpVersionSpecificHardwareBackend backend(device);
  V2Model m(8, 3, 6);
  const auto add_model = std::make_unique<V2Model>();
  add_model->conv("a", {"in"});
  add_model->conv("b", {"a"});
  const auto add = add_model->add("add", LayerType::Add, {}, {"b", "a"});
  const auto& recorder = backend.layer_recorder();
  EXPECT_TRUE(recorder.record_layer(add, nullptr, nullptr, 0, 0, {}, 0, 0)->buffers().empty());
  const auto r =
      m.add("r", LayerType::StatefulRecurrent,
            {{"stateful_channels", 16}, {"output_channels", 6}, {"subsample", 3}}, {"in"});
  EXPECT_EQ(test::error_text<std::runtime_error>(
                [&] { recorder.record_layer(r, nullptr, nullptr, 0, 0, {}, 0, 0); }),
            "Unsupported layer type: 26.");
  EXPECT_EQ(test::error_text<std::runtime_error>([&] { recorder.sync_learning_vars(r); }),
            "Learning not implemented on v2.");
  EXPECT_EQ(test::error_text<std::runtime_error>([&] { recorder.record_learning(r, 0); }),
            "Learning not implemented on v2.");
  EXPECT_EQ(backend.checker().check_layer(r, nullptr, 0).text,
            "Unsupported layer type on Morla v2.");
}

// ---- Memory sizes ---------------------------------------------------------------------------

TEST(V2MemorySizer, ConvolutionInputsAndWeights) {
  MemorySizerImpl sizer;
  V2Model m(10, 10, 16);
  const auto a = m.conv("a", {"in"}, {{"filters", 16}});
  const auto b = m.conv("b", {"a"}, {{"filters", 16}});
  const auto add = m.add("add", LayerType::Add, {}, {"b", "a"});
  const auto after_add = m.conv("c", {"add"}, {{"filters", 16}});
  const auto np = np_part(hw::Type::CNP1, 1, 0, 8, Shape{10, 10, 16});
  // ceil(80 / 32) = 3 words a row, 16 channels, 10 rows.
  EXPECT_EQ(sizer.input_memory_size(b, np, nullptr), 1920u);
  EXPECT_EQ(sizer.input_memory_size(after_add, np, nullptr), 1920u + 2048u);
  // 6 containers of 3x3 8-bit weights for 8 filters, 16 input channels: 96 x 100 bits.
  EXPECT_EQ(sizer.weights_memory_size(b, np), 1200u);
  const auto fnp = component(hw::Type::FNP3, 1);
  EXPECT_EQ(sizer.input_memory_size(b, fnp, nullptr), 0u);
  EXPECT_EQ(sizer.weights_memory_size(b, fnp), 0u);
  EXPECT_EQ(sizer.input_memory_size(add, np, nullptr), 0u);
  EXPECT_EQ(test::error_text<std::invalid_argument>(
                [&] { sizer.input_memory_size(m["in"], np, nullptr); }),
            "Invalid v2 layer type.");
  EXPECT_EQ(
      test::error_text<std::invalid_argument>([&] { sizer.weights_memory_size(m["in"], np); }),
      "Invalid v2 layer type.");
}

TEST(V2MemorySizer, TemporalFnpAndSkipBuffers) {
  MemorySizerImpl sizer;
  V2Model m(4, 4, 3);
  const auto t = m.add("t", LayerType::BufferTempConv, {{"fifo_size", 2}, {"filters", 10}}, {"in"});
  const auto tnp = np_part(hw::Type::TNP_B, 1, 0, 10, Shape{4, 4, 3});
  EXPECT_EQ(sizer.input_memory_size(t, tnp, nullptr), 768u);
  // 3 frames of 3 input channels, one 2-container row each: 18 containers.
  EXPECT_EQ(sizer.weights_memory_size(t, tnp), (18u * 100 + 7) / 8);
  const auto store = component(hw::Type::SKIP_DMA_STORE, 3);
  // The input frames of the FIFO and the current one: 4 x 4 rows of one word, 3 times.
  EXPECT_EQ(sizer.external_memory_size(t, store, false, false), 4u * 4 * 4 * 1 * 3);

  const auto dense = m.add("d", LayerType::Dense1D, {{"units", 4}}, {"in"});
  const auto fnp2 = component(hw::Type::FNP2, 1);
  EXPECT_EQ(sizer.external_memory_size(dense, fnp2, false, false), 4u * 4 * (2 + 12));
  EXPECT_EQ(sizer.weights_memory_size(dense, fnp2), 0u);
  EXPECT_EQ(sizer.weights_memory_size(dense, component(hw::Type::FNP3, 1)), 4u * 4 * (2 + 12));
  EXPECT_EQ(sizer.fsram_size(dense) + sizer.tsram_size(dense) + sizer.evsram_size(dense) +
                sizer.stsram_size(dense),
            0u);

  // A fork whose branches end one and two layers deeper than the forking layer.
  V2Model g(8, 8, 4);
  const auto fork = g.conv("f", {"in"});
  g.conv("x", {"f"});
  const auto y = g.conv("y", {"x"});
  g.add("cat", LayerType::Concatenate, {}, {"f", "y"});
  g.conv("z", {"f"});
  // Outbounds x (depth +1), cat (depth of y = +2) and z (+1): D = 3 + 2.
  // 4 channels of 8 rows of two words.
  EXPECT_EQ(sizer.external_memory_size(fork, store, false, false), 4u * 4 * 8 * 2 * 5);
  EXPECT_EQ(sizer.external_memory_size(fork, store, false, true), 8u * 4 * 8 * 2);
}

}  // namespace
}  // namespace morla::v2
