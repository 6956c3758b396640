// The IP v1 input DMA program, output registers, input and output codes, the sizer's and
// the layer recorder's dispatch by layer type.
#include <gtest/gtest.h>

#include "backend/v1/io_recorder.h"
#include "backend/v1/layer_recorder.h"
#include "backend/v1/memory_sizer.h"
#include "core/mesh.h"
#include "core/virtual_device.h"
#include "test_helpers.h"
#include "v1_test_support.h"

namespace morla::v1 {
namespace {

using namespace v1_test;

std::shared_ptr<Device> v1_device(uint8_t product = 161) {
  const Mesh mesh(IpVersion::v1, hw::Ident{1, 1, 0, 0}, hw::Ident{1, 1, 1, 0}, np::Info::hrc(false),
                  {}, {});
  return make_virtual_device(HwVersion{HwVersion::kel_id, product, 1, 0}, mesh);
}

TEST(V1Input, OnlyTheModeWordWithoutCodeZero) {
  const IoRecorderImpl io(v1_device());
  const auto record =
      io.record_input(false, false, true, false, false, Shape{8, 8, 3}, Shape{1, 1, 10});
  const auto all = blocks(*record);
  ASSERT_EQ(all.size(), 1u);
  EXPECT_EQ(all[0].field, 4u);
  EXPECT_EQ(all[0].words, std::vector<uint32_t>{1u | 1u << 8});
  EXPECT_EQ(record->key(), word_of(v1_device()->version()));
}

TEST(V1Input, CodeZeroAddsInputAndOutputSizes) {
  const IoRecorderImpl io(v1_device());
  const auto all =
      blocks(*io.record_input(true, true, false, true, false, Shape{8, 8, 3}, Shape{4, 5, 6}));
  ASSERT_EQ(all.size(), 3u);
  EXPECT_EQ(all[0].words, std::vector<uint32_t>{1u << 3 | 1u << 4});
  EXPECT_EQ(all[1].field, 64u);
  EXPECT_EQ(all[1].words, std::vector<uint32_t>{3});
  EXPECT_EQ(all[2].field, 68u);
  EXPECT_EQ(all[2].words, std::vector<uint32_t>{6u << 20 | 30u});
  const auto flat =
      blocks(*io.record_input(true, false, false, true, false, Shape{8, 8, 3}, Shape{1, 1, 6}));
  EXPECT_EQ(flat[1].words, std::vector<uint32_t>{0});
}

TEST(V1Output, SixRegisterWritesWithTheFlatFnpMode) {
  const IoRecorderImpl io(v1_device());
  const Built fc = after_input(LayerType::FullyConnected, {{"units", 4}}, 1, 1, 16);
  const RegisterWrites writes = io.output_registers(fc.layer, 2, 5, 1, false, true, true);
  const RegisterWrites expected = {
      {0, 2u | 2u << 8 | 1u << 12 | 1u << 17}, {12, 16u | 300u << 16},
      {16, 1u | 2u << 16 | 5u << 24},          {20, 1u << 8},
      {24, 1u | 254u << 16 | 1u << 24},        {28, 0x7FFFFFu | 1u << 25}};
  EXPECT_EQ(writes, expected);
  const Built spatial = after_input(LayerType::FullyConnected, {{"units", 4}}, 2, 1, 16);
  EXPECT_EQ(io.output_registers(spatial.layer, 2, 5, 1, false, false, false)[0].second,
            2u << 8 | 1u << 17);
}

TEST(V1Codes, InputAndOutputCodesByTypeAndProduct) {
  const IoRecorderImpl v161(v1_device(161)), v0(v1_device(0));
  const Built conv =
      after_input(LayerType::Convolutional,
                  {{"kernel_width", 3}, {"kernel_height", 3}, {"filters", 2048}}, 4, 4, 2);
  const Built flat = after_input(LayerType::FullyConnected, {{"units", 4}}, 1, 1, 16);
  EXPECT_EQ(v161.input_code(conv.layer), 0u);
  EXPECT_EQ(v0.input_code(conv.layer), 2u);
  EXPECT_EQ(v0.input_code(flat.layer), 1u);
  // 2048 output channels: never the narrow code, whatever the activation.
  EXPECT_EQ(v161.output_code(conv.layer, 0), 2u);
  EXPECT_EQ(v161.output_code(flat.layer, 0), 0u);
  EXPECT_EQ(v0.output_code(flat.layer, 0), 1u);
  EXPECT_EQ(test::error_text<std::runtime_error>([&] { v0.input_code(flat.input); }),
            "Unsupported layer type.");
  EXPECT_EQ(test::error_text<std::runtime_error>([&] { v0.output_code(flat.input, 0); }),
            "Unsupported layer type.");
}

TEST(V1Sizer, LayerTypesWithoutMemory) {
  const MemorySizerImpl sizer;
  const Built fc = after_input(LayerType::FullyConnected, {{"units", 4}}, 1, 1, 16);
  const hw::Component none{};
  EXPECT_EQ(
      test::error_text<std::invalid_argument>([&] { sizer.weights_memory_size(fc.input, none); }),
      "Invalid v1 layer type.");
  EXPECT_EQ(test::error_text<std::invalid_argument>(
                [&] { sizer.input_memory_size(fc.input, none, fc.input); }),
            "Invalid v1 layer type.");
  const auto hrc = make_layer(LayerType::InputConvolutional,
                              {{"input_width", 8},
                               {"input_height", 8},
                               {"input_channels", 1},
                               {"kernel_width", 3},
                               {"kernel_height", 3},
                               {"filters", 4}},
                              "hrc");
  EXPECT_EQ(sizer.input_memory_size(hrc, none, hrc), 0u);
  EXPECT_EQ(sizer.fsram_size(hrc) + sizer.tsram_size(hrc) + sizer.evsram_size(hrc) +
                sizer.stsram_size(hrc),
            0u);
}

TEST(V1LayerRecorder, DispatchByLayerType) {
  const auto device = v1_device();
  const HardwareDescription d = description();
  const LayerRecorderImpl recorder(device, &d);
  const Built conv2d =
      after_input(LayerType::Conv2D, {{"kernel_size", 3}, {"filters", 2}}, 8, 8, 4);
  const auto empty = recorder.record_layer(conv2d.input, nullptr, nullptr, 0, 0, {}, 0, 0);
  EXPECT_TRUE(empty->buffers().empty());
  EXPECT_EQ(empty->key(), word_of(device->version()));
  EXPECT_EQ(test::error_text<std::runtime_error>(
                [&] { recorder.record_layer(conv2d.layer, nullptr, nullptr, 0, 0, {}, 0, 0); }),
            "Unsupported layer type: 14.");
  const Built fc = after_input(LayerType::FullyConnected, {{"units", 4}}, 1, 1, 16);
  EXPECT_EQ(test::error_text<std::runtime_error>([&] { recorder.sync_learning_vars(fc.layer); }),
            "Cannot read learned values back from a device without hardware.");
}

}  // namespace
}  // namespace morla::v1
