// The HRC weight layout, per-neuron parameter packing and the FNP input modes.
#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "engine_api/tensor.h"
#include "mapcore_test_support.h"
#include "contract/fnp_input_size.h"
#include "contract/hrc_weights.h"
#include "contract/neuron_params.h"

namespace morla {
namespace {

using mapcore_test::Graph;
using Buffers = std::vector<std::vector<uint32_t>>;

// (k, k, C, F) weights in layout 0 whose byte at (y, x, c, f) is value(y, x, c, f).
template <typename F>
std::unique_ptr<Dense> hrc_weights(uint32_t k, uint32_t c, uint32_t f, F value) {
  auto weights = Dense::create(TensorType::int8, Shape{k, k, c, f}, Dense::Layout::RowMajor);
  auto* data = weights->mutable_data<int8_t>();
  const auto strides = weights->strides();
  for (uint32_t y = 0; y < k; ++y)
    for (uint32_t x = 0; x < k; ++x)
      for (uint32_t ch = 0; ch < c; ++ch)
        for (uint32_t n = 0; n < f; ++n)
          data[y * strides[0] + x * strides[1] + ch * strides[2] + n * strides[3]] =
              static_cast<int8_t>(value(y, x, ch, n));
  return weights;
}

// Their layout: hrc_layout_refs_test. The largest 3x3 image is 575 lines.
TEST(HrcWeights, ThreeByThreeRefuses576Lines) {
  try {
    format_hrc_weights(*hrc_weights(3, 1, 576, [](auto...) { return 0; }));
    FAIL() << "no exception";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "Too many lines on HRC weight formatting with the 3-kernel.");
  }
}

struct RefusedCase {
  const char* name;
  uint32_t kernel, channels;
  const char* message;
};

class HrcWeightsRefused : public testing::TestWithParam<RefusedCase> {};

TEST_P(HrcWeightsRefused, Message) {
  const RefusedCase& c = GetParam();
  try {
    format_hrc_weights(*hrc_weights(c.kernel, c.channels, 2, [](auto...) { return 1; }));
    FAIL() << "no exception";
  } catch (const std::runtime_error& e) {
    EXPECT_EQ(std::string(e.what()), c.message);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Refusals, HrcWeightsRefused,
    testing::Values(
        RefusedCase{"KernelSix", 6, 1, "Wrong kernel_size at HRC recording."},
        // Other channel counts have no buffer layout (and would overrun it).
        RefusedCase{"TwoChannels", 3, 2, "HRC weights need 1 or 3 input channels, got 2."},
        RefusedCase{"FourChannels", 5, 4, "HRC weights need 1 or 3 input channels, got 4."}),
    [](const auto& info) { return std::string(info.param.name); });

template <typename T>
std::unique_ptr<Dense> bytes(TensorType type, std::vector<int> values) {
  auto t =
      Dense::create(type, Shape{static_cast<uint32_t>(values.size())}, Dense::Layout::RowMajor);
  for (size_t i = 0; i < values.size(); ++i) t->mutable_data<T>()[i] = static_cast<T>(values[i]);
  return t;
}
auto i8(std::vector<int> v) { return bytes<int8_t>(TensorType::int8, std::move(v)); }
auto u8(std::vector<int> v) { return bytes<uint8_t>(TensorType::uint8, std::move(v)); }

std::string panic_text(const std::function<void()>& call) {
  try {
    call();
  } catch (const std::runtime_error& e) {
    return e.what();
  }
  return "";
}

TEST(NeuronParams, FieldsOfTheTwoWords) {
  const auto words = pack_neuron_params(*i8({-1, -32}), *u8({0xAB, 1}), u8({31, 0}).get(),
                                        u8({255, 2}).get(), *u8({5, 31}), *i8({-2, 7}));
  ASSERT_EQ(words.size(), 4u);
  EXPECT_EQ(words[0], 0x3Fu | 0xABu << 6 | 31u << 14 | 1u << 19);
  EXPECT_EQ(words[1], 0x7Fu | 5u << 7 | 0xFEu << 12);
  EXPECT_EQ(words[2] & 0x3F, 0x20u);  // -32
  EXPECT_EQ(words[2] >> 19 & 1, 0u);
  EXPECT_EQ(words[3], 1u | 31u << 7 | 7u << 12);
  // Without the max tensors both fields are 0.
  const auto plain = pack_neuron_params(*i8({0}), *u8({0}), nullptr, nullptr, *u8({0}), *i8({0}));
  EXPECT_EQ(plain, (std::vector<uint32_t>{0, 0}));
}

TEST(NeuronParams, ValuesOutsideTheirFieldsPanic) {
  EXPECT_EQ(panic_text([] {
              pack_neuron_params(*i8({32}), *u8({0}), nullptr, nullptr, *u8({0}), *i8({0}));
            }),
            "32 cannot fit in a 6-bit signed integer");
  EXPECT_EQ(panic_text([] {
              pack_neuron_params(*i8({0}), *u8({0}), u8({32}).get(), nullptr, *u8({40}), *i8({0}));
            }),
            "32 cannot fit in a 5-bit unsigned integer");  // max_value_shift before bias_shift
  // A tensor of the wrong element type is refused by the typed access.
  EXPECT_EQ(panic_text([] {
              pack_neuron_params(*u8({0}), *u8({0}), nullptr, nullptr, *u8({0}), *i8({0}));
            }).rfind("Wrong requested type", 0),
            0u);
}

TEST(NeuronParams, NarrowForm) {
  const auto words = pack_neuron_params_narrow(*u8({0x12}), *i8({-1}), *u8({17}), *i8({-32}),
                                               *i8({31}), *u8({0xC3}));
  EXPECT_EQ(words, (std::vector<uint32_t>{0x12u | 0xFFu << 8 | 1u << 16,
                                          1u | 0x20u << 1 | 31u << 7 | 0xC3u << 13}));
  EXPECT_EQ(panic_text([] {
              pack_neuron_params_narrow(*u8({0}), *i8({0}), *u8({32}), *i8({0}), *i8({0}),
                                        *u8({0}));
            }),
            "2 cannot fit in a 1-bit unsigned integer");
  EXPECT_EQ(panic_text([] {
              pack_neuron_params_narrow(*u8({0}), *i8({0}), *u8({0}), *i8({0}), *i8({-33}),
                                        *u8({0}));
            }),
            "-33 cannot fit in a 6-bit signed integer");
}

struct FnpCase {
  const char* name;
  bool conv_source;
  uint32_t width, height, channels;
  int weights_bits;
  bool ignore_inbound;
  uint32_t mode;
};

class FnpInputMode : public testing::TestWithParam<FnpCase> {};

TEST_P(FnpInputMode, FromShapeAndSource) {
  const FnpCase& c = GetParam();
  Graph g(c.width, c.height, c.channels);
  std::string source = "in";
  if (c.conv_source) {
    g.conv("conv", {"in"}, static_cast<int>(c.channels), 1);
    source = "conv";
  }
  const auto fc =
      g.add("fc", LayerType::Dense1D, {{"units", 2}, {"weights_bits", c.weights_bits}}, {source});
  EXPECT_EQ(fnp_input_size(*fc, c.ignore_inbound), c.mode);
}

INSTANTIATE_TEST_SUITE_P(
    Modes, FnpInputMode,
    testing::Values(
        // A flat input of 2048 bytes fits; one more row does not.
        FnpCase{"FlatFits", false, 16, 16, 8, 8, false, 1},
        FnpCase{"FlatTooLarge", false, 16, 17, 8, 8, false, 0},
        // After a convolution with 8-bit data and weights: rows padded to 4 bytes.
        FnpCase{"ConvRowsPadded", true, 3, 4, 4, 8, false, 3},
        FnpCase{"ConvIgnored", true, 3, 4, 4, 8, true, 1},
        // Narrow weights: runs of one channel, rows padded to words.
        FnpCase{"ConvNarrowWeights", true, 3, 4, 4, 4, false, 2},
        FnpCase{"ConvTooLarge", true, 32, 32, 4, 4, false, 0}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace morla
