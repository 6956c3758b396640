// The v2 NP register block, the routing, configuration and shift/scale writers, and the
// packers of LUTs, merge shifts and byte images.
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

#include "backend/v2/cnp_config.h"
#include "backend/v2/cnp_shifts.h"
#include "backend/v2/input_shift_memory.h"
#include "backend/v2/np_registers.h"
#include "backend/v2/np_routing.h"
#include "backend/v2/tensor_packing.h"
#include "test_helpers.h"
#include "v2_test_support.h"

namespace morla::v2 {
namespace {

using v2test::fill_values;
using v2test::make_tensor;

uint32_t bits(uint32_t word, uint32_t low, uint32_t high) {
  const uint32_t width = high - low + 1;
  return (word >> low) & (width == 32 ? 0xFFFFFFFFu : ((1u << width) - 1));
}

using v2test::component;

TEST(V2NpRegisters, DefaultsDependOnIdAndMergeKind) {
  const auto low = init_np_registers(component(hw::Type::CNP1, 1, 1, 1), 5, false, 1);
  EXPECT_EQ(low[56], (128u << 16) | 8u);
  EXPECT_EQ(bits(low[3], 24, 31), 5u);
  const auto high = init_np_registers(component(hw::Type::CNP1, 1, 1, 2), 5, true, 1);
  EXPECT_EQ(high[56], (384u << 16) | (8u + 256u));
  EXPECT_EQ(bits(high[3], 24, 31), 254u);  // registers-only recordings
  EXPECT_EQ(high.size(), kNpRegisterWords);
}

TEST(V2NpRegisters, ColumnSpans) {
  EXPECT_EQ(column_span({component(hw::Type::HRC, 0)}), (std::pair<uint8_t, uint8_t>{1, 1}));
  EXPECT_EQ(column_span({component(hw::Type::CNP1, 3)}), (std::pair<uint8_t, uint8_t>{3, 3}));
  EXPECT_EQ(column_span({component(hw::Type::CNP1, 4), component(hw::Type::CNP2, 2)}),
            (std::pair<uint8_t, uint8_t>{2, 4}));
  EXPECT_THROW(column_span({}), std::out_of_range);
}

struct RoutingCase {
  std::string name;
  ComponentList sources, destinations;
  bool p2p_in, p2p_out;
  std::string error;
  bool out_of_range = false;
};

class V2RoutingRefusal : public testing::TestWithParam<RoutingCase> {};

TEST_P(V2RoutingRefusal, Message) {
  const auto& c = GetParam();
  auto block = init_np_registers(component(hw::Type::CNP1, 2), 1, false, 0);
  const ComponentList own{component(hw::Type::CNP1, 2)};
  const auto route = [&] {
    record_p2p_routing(
        block, NpRoutes{c.sources, own, c.destinations, nullptr, 3, c.p2p_in, c.p2p_out, false});
  };
  const std::string error = c.out_of_range ? test::error_text<std::out_of_range>(route)
                                           : test::error_text<std::runtime_error>(route);
  EXPECT_EQ(error, c.error);
}

const ComponentList kTwo{component(hw::Type::CNP1, 1), component(hw::Type::CNP1, 3)};
const ComponentList kOne{component(hw::Type::CNP1, 1)};

INSTANTIATE_TEST_SUITE_P(
    Lists, V2RoutingRefusal,
    testing::Values(
        RoutingCase{"P2POutToTwo", kOne, kTwo, false, true,
                    "Cannot use P2P OUT mode for multiple NPs."},
        RoutingCase{"P2PInFromTwo", kTwo, kOne, true, false,
                    "Cannot use P2P IN mode for multiple NPs."},
        RoutingCase{"NoDestination",
                    kOne,
                    {},
                    false,
                    false,
                    "The layer has no destination components.",
                    true},
        RoutingCase{
            "NoSource", {}, kOne, false, false, "The layer has no source components.", true}),
    test::names_by([](const auto& c) { return c.name; }));

TEST(V2NpRouting, LinkSpansAndStore) {
  auto block = init_np_registers(component(hw::Type::CNP1, 2), 1, false, 0);
  const ComponentList sources{component(hw::Type::HRC, 0)};
  const ComponentList own{component(hw::Type::CNP1, 2), component(hw::Type::CNP1, 5)};
  const ComponentList destinations{component(hw::Type::TNP_B, 3, 2, 1),
                                   component(hw::Type::CNP1, 4)};
  const SkipStoreInfo store{6, 1, 9};
  record_p2p_routing(block, NpRoutes{sources, own, destinations, &store, 255, false, false, true});
  EXPECT_EQ(bits(block[45], 24, 31), 254u);  // a TNP-B counts its link one lower
  EXPECT_EQ(bits(block[45], 0, 15), 3u | 4u << 8);
  EXPECT_EQ(bits(block[46], 0, 15), 1u | 1u << 8);  // a lone HRC source spans (1, 1)
  EXPECT_EQ(bits(block[46], 19, 19), 1u);
  EXPECT_EQ(bits(block[52], 24, 31), 6u);
  EXPECT_EQ(bits(block[52], 4, 4), 1u);
  EXPECT_EQ(bits(block[52], 16, 23), 9u);
  EXPECT_EQ(bits(block[47], 0, 15), 2u | 5u << 8);  // destinations and own NPs together
  EXPECT_EQ(bits(block[44], 2, 2), 1u);
}

TEST(V2TensorPacking, CopyTensorBytes) {
  auto t = make_tensor(TensorType::uint8, Shape{5});
  fill_values<uint8_t>(*t, {1, 2, 3, 4, 5});
  EXPECT_EQ(copy_tensor_bytes(*t), (std::vector<uint32_t>{0x04030201u, 0x05u}));
  EXPECT_EQ(copy_tensor_bytes(*t, 3, 2), (std::vector<uint32_t>{0x0504u, 0u}));
  EXPECT_THROW(copy_tensor_bytes(*t, 4, 2), std::runtime_error);  // past the last byte
  // A count of 0 is the element count, also after an offset.
  EXPECT_EQ(copy_tensor_bytes(*t, 0, 0), copy_tensor_bytes(*t));
  EXPECT_THROW(copy_tensor_bytes(*t, 3, 0), std::runtime_error);
  EXPECT_THROW(copy_tensor_bytes(*make_tensor(TensorType::int8, Shape{5})), std::runtime_error);
}

TEST(V2TensorPacking, MergeShiftBytes) {
  auto a = make_tensor(TensorType::uint8, Shape{3});
  auto b = make_tensor(TensorType::uint8, Shape{3});
  auto c = make_tensor(TensorType::int8, Shape{3});
  fill_values<uint8_t>(*a, {3, 4, 19});
  fill_values<uint8_t>(*b, {5, 2, 3});
  fill_values<int8_t>(*c, {-6, -1, 0});
  EXPECT_EQ(pack_weights(*a, *b, *c, 0, 2), (std::vector<uint32_t>{242u | (2u + 16u * 3u) << 8}));
  // The merged shift is checked first: 19 cannot be held, whatever the difference.
  EXPECT_EQ(test::error_text<std::runtime_error>([&] { pack_weights(*a, *b, *c, 2, 1); }),
            "19 cannot fit in a 3-bit signed integer");
  fill_values<uint8_t>(*b, {5, 2, 18});
  EXPECT_EQ(test::error_text<std::runtime_error>([&] { pack_weights(*a, *b, *c, 2, 1); }),
            "19 cannot fit in a 3-bit signed integer");
  // A merged shift that fits with a difference of 16, which would carry into the shift bits.
  fill_values<uint8_t>(*b, {5, 2, 3});
  fill_values<int8_t>(*c, {-6, -1, -16});
  EXPECT_EQ(test::error_text<std::runtime_error>([&] { pack_weights(*a, *b, *c, 2, 1); }),
            "16 cannot fit in a 4-bit unsigned integer");
  EXPECT_THROW(pack_weights(*a, *b, *c, 3, 1), std::runtime_error);  // past the tensors
}

TEST(V2TensorPacking, LookUpTables) {
  auto lut = make_tensor(TensorType::int32, Shape{2049});
  int32_t* v = lut->mutable_data<int32_t>();
  v[0] = -8192;
  v[1] = 8191;
  v[2048] = 1 << 20;  // ignored by the pair packer
  const auto pairs = pack_activation_lut_pairs(*lut);
  ASSERT_EQ(pairs.size(), 1024u);
  EXPECT_EQ(pairs[0], 0x2000u | 0x1FFFu << 16);
  EXPECT_EQ(test::error_text<std::runtime_error>([&] { pack_activation_lut(*lut); }),
            "Wrong size for LUT.");
  auto single = make_tensor(TensorType::int32, Shape{2048});
  single->mutable_data<int32_t>()[5] = -1;
  const auto words = pack_activation_lut(*single);
  ASSERT_EQ(words.size(), 2048u);
  EXPECT_EQ(words[5], 0x3FFFu);
  single->mutable_data<int32_t>()[7] = 8192;
  EXPECT_EQ(test::error_text<std::runtime_error>([&] { pack_activation_lut(*single); }),
            "8192 cannot fit in a 14-bit signed integer");
  EXPECT_EQ(test::error_text<std::runtime_error>(
                [&] { pack_activation_lut_pairs(*make_tensor(TensorType::int32, Shape{2047})); }),
            "Wrong size for LUT.");
}

TEST(V2InputShiftMemory, EightShiftsAWord) {
  EXPECT_EQ(shift_memory_bytes(*make_tensor(TensorType::uint8, Shape{9})), 2u);
  EXPECT_EQ(shift_memory_bytes(*make_tensor(TensorType::uint8, Shape{8})), 1u);
}

// A split with its fields set directly.
struct FixedSplit : NpSplitInterface {
  uint32_t aligned_width() const override { return (width + 3) & ~3u; }
};

struct V2ConfigFixture : testing::Test {
  NpRegisters block = init_np_registers(component(hw::Type::CNP1, 1), 1, false, 0);
  FixedSplit split;
  ComponentList layer_nps{component(hw::Type::CNP1, 1)};
  ComponentList peers{component(hw::Type::CNP1, 2)};
  CnpNpConfig config(ActivationType activation, uint32_t output_bits) {
    return CnpNpConfig{split, 3, 1,           activation, 0,       4,     8,     layer_nps, false,
                       false, 8, output_bits, nullptr,    nullptr, peers, false, true};
  }
};

TEST_F(V2ConfigFixture, WindowOffsetsAreThreeBitTwosComplement) {
  const std::pair<int32_t, uint32_t> cases[] = {{-4, 4}, {-1, 7}, {3, 3}};
  for (const auto& [offset, field] : cases) {
    split.window_row_offset = static_cast<uint32_t>(offset);
    record_cnp_config(block, config(ActivationType::ReLU, 8));
    EXPECT_EQ(bits(block[8], 12, 14), field) << offset;
  }
  split.window_col_offset = 4;
  EXPECT_EQ(test::error_text<std::runtime_error>(
                [&] { record_cnp_config(block, config(ActivationType::ReLU, 8)); }),
            "4 cannot fit in a 3-bit signed integer");
}

TEST_F(V2ConfigFixture, OutputFieldsByActivation) {
  record_cnp_config(block, config(ActivationType::ReLU, 4));
  EXPECT_EQ(bits(block[3], 12, 15), 2u | 0u << 2 | 1u << 3);
  record_cnp_config(block, config(ActivationType::NoActivation, 8));
  EXPECT_EQ(bits(block[3], 12, 15), 3u | 1u << 2 | 0u << 3);
  record_cnp_config(block, config(ActivationType::NoActivation, 28));
  EXPECT_EQ(bits(block[3], 14, 14), 0u);
}

TEST_F(V2ConfigFixture, SkipDmaFieldsWithoutMergeAreTheFlagOnly) {
  const hw::Component load = component(hw::Type::SKIP_DMA_LOAD, 3);
  auto c = config(ActivationType::ReLU, 8);
  c.skip_dma_load = &load;
  const auto before = block;
  record_cnp_config(block, c);
  EXPECT_EQ(block[52], 1u << 7);
  EXPECT_EQ(block[53], before[53]);
}

TEST_F(V2ConfigFixture, MergeNeedsItsSkipDmaLoadAndProgramsTheLearningPeer) {
  MergeInfo merge;
  merge.is_add = true;
  merge.index = 7;
  merge.dual_source = true;
  merge.other_order = 9;
  merge.not_first = false;
  auto c = config(ActivationType::ReLU, 8);
  c.merge = &merge;
  EXPECT_EQ(test::error_text<std::runtime_error>([&] { record_cnp_config(block, c); }),
            "Skip DMA load should not be null.");
  const hw::Component load = component(hw::Type::SKIP_DMA_LOAD, 3, 1, 1);
  c.skip_dma_load = &load;
  record_cnp_config(block, c);
  EXPECT_EQ(bits(block[52], 0, 7), 0x17u);  // bit 7 (not first) clear
  EXPECT_EQ(bits(block[52], 16, 23), 7u);
  EXPECT_EQ(bits(block[53], 8, 15), 3u);
  EXPECT_EQ(bits(block[53], 20, 23), 2u);
  EXPECT_EQ(bits(block[1], 31, 31), 1u);
  EXPECT_EQ(bits(block[47], 16, 31), 1u | 2u << 8);
  EXPECT_EQ(block[48], 9u << 24 | 1u << 20 | 1u << 16 | 2u << 8 | 1u);
}

TEST(V2CnpPaddingEdges, CornersOfASplitLayer) {
  const Shape input{16, 16, 4};
  const PoolEdges pooling{2, 2, 0, {1, 1, 1, 1}};
  const auto edges = [&](uint32_t x, uint32_t y, uint32_t w, uint32_t h) {
    auto block = init_np_registers(component(hw::Type::CNP1, 1), 1, false, 0);
    record_cnp_padding_edges(block, input, NpSpace{x, y, Shape{w, h, 4}}, pooling, false);
    EXPECT_EQ(bits(block[27], 0, 2), 2u);
    return bits(block[27], 12, 15);
  };
  EXPECT_EQ(edges(0, 0, 8, 8), 0b1010u);  // left and top
  EXPECT_EQ(edges(8, 8, 8, 8), 0b0101u);  // right and bottom
  EXPECT_EQ(edges(0, 0, 16, 16), 0b1111u);
  auto block = init_np_registers(component(hw::Type::CNP1, 1), 1, false, 0);
  record_cnp_padding_edges(block, input, NpSpace{0, 0, Shape{16, 16, 4}}, pooling, true);
  EXPECT_EQ(bits(block[2], 8, 8), 1u);
}

TEST(V2CnpShifts, FieldsAndOverrides) {
  auto output_shift = make_tensor(TensorType::int8, Shape{4});
  auto activation_shift = make_tensor(TensorType::int8, Shape{4});
  auto activation_scales = make_tensor(TensorType::uint8, Shape{4});
  auto max_value = make_tensor(TensorType::uint8, Shape{4});
  fill_values<int8_t>(*output_shift, {0, -32, 31, 0});
  fill_values<int8_t>(*activation_shift, {0, -1, 0, 0});
  fill_values<uint8_t>(*activation_scales, {0, 0x81, 0, 0});
  NeuronTensors t;
  t.output_shift = output_shift.get();
  t.activation_shift = activation_shift.get();
  t.activation_scales = activation_scales.get();
  auto words = record_cnp_shifts(t, 1, 2);
  ASSERT_EQ(words.size(), 4u);
  EXPECT_EQ(bits(words[0], 21, 26), 32u);
  EXPECT_EQ(bits(words[0], 27, 31), 31u);
  EXPECT_EQ(bits(words[1], 0, 8), 1u | 0x81u << 1);
  EXPECT_EQ(bits(words[2], 21, 26), 31u);
  // With max_value too, it takes B bits 0-7 over the activation fields.
  fill_values<uint8_t>(*max_value, {0, 0x40, 0, 0});
  t.max_value = max_value.get();
  words = record_cnp_shifts(t, 1, 1);
  EXPECT_EQ(bits(words[1], 0, 8), 0x40u | (0x81u >> 7) << 8);
  fill_values<int8_t>(*output_shift, {-33, 0, 0, 0});
  EXPECT_EQ(test::error_text<std::runtime_error>([&] { record_cnp_shifts(t, 0, 1); }),
            "-33 cannot fit in a 6-bit signed integer");
  auto wrong = make_tensor(TensorType::int8, Shape{4});
  t.output_scales = wrong.get();
  EXPECT_EQ(test::error_text<std::runtime_error>([&] { record_cnp_shifts(t, 0, 1); }),
            "Wrong requested type unsigned char for a tensor of type int8");
}

}  // namespace
}  // namespace morla::v2
