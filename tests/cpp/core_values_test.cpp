#include <gtest/gtest.h>

#include <functional>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/device.h"
#include "engine_api/layer_params.h"
#include "core/hw_type.h"
#include "core/hw_version.h"
#include "core/interpreter_version.h"
#include "core/platform.h"
#include "core/register_field.h"
#include "core/shape.h"
#include "test_helpers.h"

namespace morla {
namespace {

TEST(Shape, RefusesDimensionCountOutsideOneToFour) {
  EXPECT_EQ(test::error_text<std::runtime_error>([] { Shape(std::vector<uint32_t>{}); }),
            "Shape number of dimensions must be in range [1, 4], got 0");
  EXPECT_EQ(test::error_text<std::runtime_error>([] {
              Shape({1, 2, 3, 4, 5});
            }),
            "Shape number of dimensions must be in range [1, 4], got 5");
}

TEST(Shape, RefusesZeroDimensionNamingItsIndex) {
  EXPECT_EQ(test::error_text<std::runtime_error>([] {
              Shape({4, 0, 2});
            }),
            "Cannot have a shape with dimension 1 set to 0");
}

TEST(Shape, EqualityComparesOnlyUsedDimensions) {
  const Shape a({2, 3});
  const Shape b(std::vector<uint32_t>{2, 3});
  EXPECT_EQ(a, b);
  EXPECT_NE(a, Shape({2, 3, 1}));
  EXPECT_EQ(Shape().size(), 0u);
  EXPECT_EQ(a.element_count(), 6u);
  EXPECT_EQ(a.back(), 3u);
}

TEST(RegisterField, WritesOnlyItsBits) {
  const RegisterField field{4, 4};
  uint32_t word = 0xFFFFFFFF;
  set_register_field(&word, &field, 0);
  EXPECT_EQ(word, 0xFFFFFF0Fu);
  word = 0xFFFFFFFF;
  set_register_field(&word, &field, 15);
  EXPECT_EQ(word, 0xFFFFFFFFu);
}

TEST(RegisterField, RefusesOverflowAndLeavesWordUntouched) {
  const RegisterField field{4, 4};
  uint32_t word = 0x12345678;
  EXPECT_EQ(test::error_text<std::runtime_error>([&] { set_register_field(&word, &field, 16); }),
            "Attempted to write value 16 into a 4-bit field, which will cause an overflow.");
  EXPECT_EQ(word, 0x12345678u);
}

TEST(RegisterField, FullWidthFieldAcceptsAnyValue) {
  const RegisterField field{0, 32};
  uint32_t word = 0;
  set_register_field(&word, &field, 0xDEADBEEF);
  EXPECT_EQ(word, 0xDEADBEEFu);
}

// Random fields of random blocks: only the field's bits of its word change, the value reads
// back, a value one past the field's range is refused with the field writer's text.
TEST(BlockField, WritesReadsAndRefusesLikeTheWordWriter) {
  std::mt19937 rng(26);
  for (int round = 0; round < 500; ++round) {
    std::vector<uint32_t> block(1 + rng() % 64);
    for (auto& word : block) word = rng();
    const uint32_t width = 1 + rng() % 32;
    const auto shift = static_cast<uint32_t>(rng() % (33 - width));
    const BlockField field{rng() % block.size(), shift, width};
    const uint64_t range = uint64_t{1} << width;
    const auto value = static_cast<uint32_t>(rng() % range);
    std::vector<uint32_t> expected = block;
    const uint64_t mask = (range - 1) << field.shift;
    expected[field.word] =
        static_cast<uint32_t>((expected[field.word] & ~mask) | (uint64_t{value} << field.shift));
    set_register_field(block, field, value);
    ASSERT_EQ(block, expected);
    ASSERT_EQ(register_field(block, field), value);
    ASSERT_EQ(register_field(block, offset_field(BlockField{0, field.shift, width}, field.word)),
              value);
    if (width < 32) {
      const auto over = static_cast<uint32_t>(range);
      ASSERT_EQ(
          test::error_text<std::runtime_error>([&] { set_register_field(block, field, over); }),
          "Attempted to write value " + std::to_string(over) + " into a " + std::to_string(width) +
              "-bit field, which will cause an overflow.");
      ASSERT_EQ(block, expected);
    }
  }
}

// A one-hot mask is the value 2^index: an index past the field, also one past bit 31, is
// refused with the field writer's text and leaves the block as it was.
TEST(BlockField, OneHotMaskSelectsOnlyIndexesTheFieldHolds) {
  const BlockField field{1, 16, 4};
  const std::vector<uint32_t> before{7, 0xFFFFFFFF};
  for (uint32_t index = 0; index < 256; ++index) {
    std::vector<uint32_t> block = before;
    if (index < field.width) {
      set_one_hot_field(block, field, index);
      EXPECT_EQ(block, (std::vector<uint32_t>{7, 0xFFF0FFFFu | 1u << (16 + index)}));
      continue;
    }
    const std::string value =
        index < 32 ? std::to_string(uint64_t{1} << index) : "2^" + std::to_string(index);
    EXPECT_EQ(
        test::error_text<std::runtime_error>([&] { set_one_hot_field(block, field, index); }),
        "Attempted to write value " + value + " into a 4-bit field, which will cause an overflow.");
    EXPECT_EQ(block, before);
  }
}

TEST(BlockField, WordPastTheBlockThrowsOutOfRange) {
  std::vector<uint32_t> block(4, 0);
  EXPECT_THROW(set_register_field(block, BlockField{4, 0, 1}, 1), std::out_of_range);
  EXPECT_THROW(register_field(block, BlockField{4, 0, 1}), std::out_of_range);
}

TEST(Panic, CutsMessagesAt256Characters) {
  const std::string long_text(300, 'x');
  const auto text = test::error_text<std::runtime_error>([&] { panic("%s", long_text.c_str()); });
  EXPECT_EQ(text, long_text.substr(0, 256));
}

TEST(Panic, FormatsArguments) {
  EXPECT_EQ(test::error_text<std::runtime_error>([] { panic("value %d of %s", 7, "seven"); }),
            "value 7 of seven");
}

TEST(Platform, TimeNeverDecreases) {
  const int64_t a = time_ms();
  msleep(2);
  const int64_t b = time_ms();
  EXPECT_GE(b - a, 2);
}

TEST(HwVersion, ProductByteSelectsIpVersion) {
  EXPECT_EQ((HwVersion{HwVersion::kel_id, 0x00, 0, 2}).get_ip_version(), IpVersion::v1);
  EXPECT_EQ((HwVersion{HwVersion::kel_id, 0xA1, 0, 2}).get_ip_version(), IpVersion::v1);
  EXPECT_EQ((HwVersion{1, 0xA2, 0, 2}).get_ip_version(), IpVersion::v2);
  EXPECT_EQ((HwVersion{1, 0xB1, 0, 2}).get_ip_version(), IpVersion::mote);
  EXPECT_EQ((HwVersion{1, 0xB2, 0, 2}).get_ip_version(), IpVersion::none);
}

TEST(HwVersion, WordReadsTheFourBytesLittleEndian) {
  std::mt19937 random(26);
  for (int i = 0; i < 16; ++i) {
    const HwVersion v{static_cast<uint8_t>(random()), static_cast<uint8_t>(random()),
                      static_cast<uint8_t>(random()), static_cast<uint8_t>(random())};
    const uint8_t bytes[4] = {v.vendor_id, v.product_id, v.major_rev, v.minor_rev};
    uint32_t expected = 0;
    for (int b = 3; b >= 0; --b) expected = expected * 256 + bytes[b];
    EXPECT_EQ(version_word(v), expected);
  }
}

TEST(HwVersion, TextForms) {
  const HwVersion v{1, 162, 3, 9};
  EXPECT_EQ(v.to_string(), "1.162.3.9");
  EXPECT_EQ(hw_version_to_string(v), "01.A2.003.009");
  EXPECT_EQ(hw_version_to_string(HwVersion{0x0A, 0xB1, 12, 200}), "0A.B1.012.200");
  EXPECT_TRUE(v == (HwVersion{1, 162, 3, 9}));
  EXPECT_TRUE(v != (HwVersion{1, 162, 3, 8}));
  static_assert(sizeof(HwVersion) == 4);
}

TEST(ComponentKind, FromHwType) {
  EXPECT_EQ(component_kind(hw::Type::CNP2), ComponentKind::CNP);
  EXPECT_EQ(component_kind(hw::Type::FNP3), ComponentKind::FNP);
  EXPECT_EQ(component_kind(hw::Type::SKIP_DMA_LOAD), ComponentKind::SKIP_DMA);
  EXPECT_EQ(component_kind(hw::Type::DMA), ComponentKind::DMA);
  EXPECT_EQ(component_kind(static_cast<hw::Type>(0)), ComponentKind::None);
  EXPECT_EQ(component_kind(static_cast<hw::Type>(11)), ComponentKind::None);
}

TEST(LayerParams, ActivationNames) {
  EXPECT_EQ(LayerParams::as_name(ActivationType::ReLU), "ReLU");
  EXPECT_EQ(LayerParams::as_name(ActivationType::LUT), "LUT");
  EXPECT_EQ(LayerParams::as_name(static_cast<ActivationType>(7)), "Unknown");
}

class InterpreterVersion : public testing::TestWithParam<std::pair<const char*, bool>> {};

TEST_P(InterpreterVersion, AcceptsOnlyTheCompiledForVersion) {
  const auto [text, accepted] = GetParam();
  EXPECT_EQ(interpreter_version_accepted("3.12", text), accepted) << text;
}

INSTANTIATE_TEST_SUITE_P(
    Texts, InterpreterVersion,
    testing::Values(std::pair{"3.12.0", true}, std::pair{"3.12.7 (main, Oct  1 2024)", true},
                    std::pair{"3.12+", true}, std::pair{"3.12", true}, std::pair{"3.11.9", false},
                    std::pair{"3.13.0", false}, std::pair{"3.120", false}, std::pair{"", false}),
    test::names_by([](const std::pair<const char*, bool>& c) {
      std::string text = c.first;
      if (const auto plus = text.find('+'); plus != std::string::npos)
        text.replace(plus, 1, "_plus");
      return (c.second ? "accepts_" : "refuses_") + (text.empty() ? std::string("nothing") : text);
    }));

TEST(InterpreterVersion, MismatchMessageShowsWholeVersionText) {
  EXPECT_EQ(interpreter_version_mismatch("3.12", "3.11.9 (main)"),
            "Python version mismatch: module was compiled for Python 3.12, but the interpreter "
            "version is incompatible: 3.11.9 (main).");
}

class FixedDevice : public Device {
 public:
  explicit FixedDevice(HwVersion v) : v_(v) {}
  HwVersion version() const override { return v_; }
  const char* desc() const override { return "fixed"; }
  const Mesh& mesh() const override { throw std::logic_error("no mesh"); }
  HardwareDevice* hardware() const override { return nullptr; }

 private:
  HwVersion v_;
};

TEST(Device, CompatibilityMessageNamesBothVersions) {
  const FixedDevice device(HwVersion{1, 0xA2, 1, 0});
  EXPECT_NO_THROW(device.check_hw_and_ip_version_compatibility(IpVersion::v2));
  EXPECT_EQ(test::error_text<std::invalid_argument>(
                [&] { device.check_hw_and_ip_version_compatibility(IpVersion::v1); }),
            "Incompatible hardware and Ip versions: HW Version is 1.162.1.0 with product id "
            "= 162 while IP version is v1.");
}

}  // namespace
}  // namespace morla
