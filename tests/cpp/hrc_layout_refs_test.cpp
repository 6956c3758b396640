// The HRC's words, whole, against short references written from their layouts: the weight
// memories (v1 and v2 kernel sizes, one and three channels, both tensor layouts) and the v1
// HRC program (configuration, weight and threshold memories, control words), from random
// values over their full ranges.
#include <gtest/gtest.h>

#include <string>
#include <tuple>

#include "backend/v1/hrc_recording.h"
#include "backend/v2/hrc_recorder.h"
#include "engine_api/v1_layers.h"
#include "core/mesh.h"
#include "core/virtual_device.h"
#include "layout_refs_support.h"
#include "contract/hrc_weights.h"
#include "v1_test_support.h"

namespace morla {
namespace {

using layout_refs::Array4;
using layout_refs::Random;
using Buffers = std::vector<std::vector<uint32_t>>;

// ---- Reference ---------------------------------------------------------------------------

// Lines of three words, nine 8-bit weights each (weight s in word s / 4, bits 8 (s mod 4)
// up); each filter starts a new line and takes ceil(k k / 9) of them in reading order.
// Line l of channel c lies in buffer c with three channels; otherwise by kernel: k = 3
// fills buffers of 192 lines one after the other, k = 4 alternates buffers 0 and 1, larger
// kernels go round the three buffers.
template <typename Weight>
Buffers ref_hrc_weights(uint32_t k, uint32_t channels, uint32_t filters, Weight weight) {
  const uint32_t per_filter = (k * k + 8) / 9, lines = per_filter * filters;
  Buffers out(3);
  if (channels == 3) {
    for (auto& b : out) b.assign(3 * size_t{lines}, 0);
  } else if (k == 3) {
    for (uint32_t b = 0; b < lines / 192; ++b) out[b].assign(576, 0);
    out[lines / 192].assign(3 * (lines % 192), 0);
  } else if (k == 4) {
    out[0].assign(3 * (lines / 2 + lines % 2), 0);
    out[1].assign(3 * (lines / 2), 0);
  } else {
    for (uint32_t b = 0; b < 3; ++b) out[b].assign(3 * (lines / 3 + (lines % 3 > b)), 0);
  }
  for (uint32_t c = 0; c < channels; ++c)
    for (uint32_t f = 0; f < filters; ++f)
      for (uint32_t j = 0; j < k * k; ++j) {
        const uint32_t l = f * per_filter + j / 9, s = j % 9;
        const uint32_t buffer = channels == 3 ? c : k == 3 ? l / 192 : k == 4 ? l % 2 : l % 3;
        const uint32_t line = channels == 3 ? l : k == 3 ? l % 192 : k == 4 ? l / 2 : l / 3;
        out[buffer].at(3 * line + s / 4) |= uint32_t(uint8_t(weight(j / k, j % k, c, f)))
                                            << 8 * (s % 4);
      }
  return out;
}

// ---- Weight memories ---------------------------------------------------------------------

using WeightCase = std::tuple<uint32_t /*kernel*/, uint32_t /*channels*/, uint32_t /*filters*/,
                              Dense::Layout, TensorType>;

std::string weight_case_name(const testing::TestParamInfo<WeightCase>& info) {
  const auto& [k, c, f, layout, type] = info.param;
  return std::string("k") + std::to_string(k) + "_c" + std::to_string(c) + "_f" +
         std::to_string(f) + (layout == Dense::Layout::RowMajor ? "_layout0_" : "_layout1_") +
         Tensor::type_name(type);
}

class HrcWeightLayout : public testing::TestWithParam<WeightCase> {};

TEST_P(HrcWeightLayout, EqualsTheReference) {
  const auto& [k, channels, filters, layout, type] = GetParam();
  Random random(k * 1000 + channels * 100 + filters);
  const int low = type == TensorType::int8 ? -128 : 0, high = low + 255;
  // Layout 0 holds (row, column, channel, filter), layout 1 (filter, channel, column, row).
  if (layout == Dense::Layout::RowMajor) {
    const Array4 w(k, k, channels, filters, random, low, high);
    EXPECT_EQ(format_hrc_weights(*w.tensor(type, layout)),
              ref_hrc_weights(k, channels, filters,
                              [&](auto y, auto x, auto c, auto f) { return w(y, x, c, f); }));
  } else {
    const Array4 w(filters, channels, k, k, random, low, high);
    EXPECT_EQ(format_hrc_weights(*w.tensor(type, layout)),
              ref_hrc_weights(k, channels, filters,
                              [&](auto y, auto x, auto c, auto f) { return w(f, c, x, y); }));
  }
}

// Kernels 3, 5 and 7 on v1 and v2, 4 on v2 (two buffers with one channel), 16; up to 575
// lines of a single-channel 3 x 3 kernel (three buffers, the last one short).
INSTANTIATE_TEST_SUITE_P(
    Layouts, HrcWeightLayout,
    testing::Combine(testing::Values(3u, 4u, 5u, 7u, 16u), testing::Values(1u, 3u),
                     testing::Values(1u, 2u, 13u, 192u, 575u),
                     testing::Values(Dense::Layout::RowMajor, Dense::Layout::ColMajor),
                     testing::Values(TensorType::int8, TensorType::uint8)),
    weight_case_name);

// The memories of a v2 InputConv2D program: the data block after each select word of
// bits 0, 1 and 2 (none for an empty buffer).
using V2Case = std::tuple<uint32_t /*kernel*/, uint32_t /*channels*/>;

class V2HrcWeightMemories : public testing::TestWithParam<V2Case> {};

TEST_P(V2HrcWeightMemories, EqualTheReference) {
  const auto& [k, channels] = GetParam();
  const auto layer = v1_test::make_layer(LayerType::InputConv2D,
                                         {{"input_width", 24},
                                          {"input_height", 24},
                                          {"input_channels", int(channels)},
                                          {"kernel_size", int(k)},
                                          {"filters", 37}},
                                         "hrc");
  const auto weights = layer->variables().get("weights");
  Random random(k * 10 + channels);
  for (size_t i = 0; i < weights->size(); ++i)
    weights->mutable_data<int8_t>()[i] = int8_t(random(-128, 127));
  const auto s = weights->strides();  // (k, k, C, F)
  const Buffers expected = ref_hrc_weights(k, channels, 37, [&](auto y, auto x, auto c, auto f) {
    return weights->data<int8_t>()[y * s[0] + x * s[1] + c * s[2] + f * s[3]];
  });

  std::vector<np::Info> nps = {
      np::Info{hw::Ident{1, 1, 0, 0}, {hw::Type::CNP1, hw::Type::CNP2}, true}};
  const Mesh mesh(IpVersion::v2, hw::Ident{0, 1, 0, 0}, hw::Ident{0, 1, 1, 0}, std::nullopt, nps,
                  {});
  const auto record = v2::record_input_conv2d(
      *make_virtual_device(HwVersion{HwVersion::kel_id, 0xA2, 1, 0}, mesh), *layer);
  const auto blocks = v1_test::blocks(*record);
  Buffers memories(3);
  for (size_t b = 0; b + 1 < blocks.size(); ++b)
    for (uint32_t m = 0; m < 3; ++m)
      if (blocks[b].field == 32 && blocks[b].words == std::vector<uint32_t>{1u << m, 0})
        memories[m] = blocks[b + 1].words;
  EXPECT_EQ(memories, expected);
}

INSTANTIATE_TEST_SUITE_P(Kernels, V2HrcWeightMemories,
                         testing::Combine(testing::Values(3u, 4u, 5u, 7u), testing::Values(1u, 3u)),
                         [](const testing::TestParamInfo<V2Case>& info) {
                           return std::string("k") + std::to_string(std::get<0>(info.param)) +
                                  "_c" + std::to_string(std::get<1>(info.param));
                         });

// ---- The v1 HRC program ------------------------------------------------------------------

using v1_test::make_layer;

// A v1 InputConvolutional of random parameters and variables, seeded by the case.
std::shared_ptr<Layer> random_hrc(Random& random) {
  const int channels = random(0, 1) ? 3 : 1, k = int(random(1, 3)) * 2 + 1;
  const int most = channels == 3 ? (k == 3   ? 192
                                    : k == 5 ? 64
                                             : 32)
                                 : (k == 3   ? 512
                                    : k == 5 ? 192
                                             : 96);
  const int pool = int(random(0, 1));
  auto layer = make_layer(LayerType::InputConvolutional,
                          {{"input_width", int(random(16, 40))},
                           {"input_height", int(random(16, 40))},
                           {"input_channels", channels},
                           {"kernel_width", k},
                           {"kernel_height", k},
                           {"stride_x", int(random(1, 3))},
                           {"stride_y", int(random(1, 3))},
                           {"padding", int(random(0, 1))},
                           {"pool_type", pool},
                           {"pooling_width", pool ? int(random(1, 2)) : 1},
                           {"pooling_height", pool ? int(random(1, 2)) : 1},
                           {"filters", int(random(1, most))},
                           {"act_bits", 1 << random(0, 2)},
                           {"padding_value", int(random(0, 255))}},
                          "hrc");
  Variables& v = layer->variables();
  for (const auto& [name, low, high] :
       {std::tuple{"weights", -128, 127}, std::tuple{"threshold", -8388608, 8388607},
        std::tuple{"act_step", 1, 16777215}}) {
    const auto tensor = v.get(name);
    for (size_t i = 0; i < tensor->size(); ++i) {
      const auto value = random(low, high);
      if (tensor->type() == TensorType::float32)
        tensor->set<float>(i, float(value) / 16);  // exact in 1/16
      else if (tensor->type() == TensorType::int32)
        tensor->set<int32_t>(i, int32_t(value));
      else
        tensor->mutable_data<int8_t>()[i] = int8_t(value);
    }
  }
  return layer;
}

// The configuration block: eight words, zero but for the fields of each parameter.
std::vector<uint32_t> ref_configuration(const Layer& layer) {
  const auto p = [&](const char* key) { return uint32_t(layer.params()->get(key)); };
  const uint32_t* conv = dynamic_cast<const InputConvolutional&>(layer).conv_record();
  const uint32_t valid = p("padding") == 0, max = p("pool_type") == 1, k = p("kernel_height");
  const uint32_t pv = p("padding_value");
  return {1 | (p("input_channels") != 3) << 12 | valid << 13 |
              (max && p("pooling_height") == 2) << 16 | (max && p("pooling_width") == 2) << 17 |
              valid << 20 | valid << 21 |
              (k == 7   ? 2u
               : k == 5 ? 1u
                        : 0u)
                  << 4 |
              (p("act_bits") >> 1) << 8,
          p("stride_y") | p("stride_x") << 4,
          pv | pv << 8 | pv << 16,
          conv[5] << 12 | conv[4] << 8 | conv[6] | conv[7] << 4,
          (p("filters") - 1) << 16,
          0,
          0,
          0};
}

class V1HrcProgram : public testing::TestWithParam<uint32_t> {};

TEST_P(V1HrcProgram, EqualsTheReference) {
  Random random(GetParam());
  const auto layer = random_hrc(random);
  const Variables& v = layer->variables();
  const auto weights = v.get("weights"), threshold = v.get("threshold"), step = v.get("act_step");
  const Shape shape = weights->shape();  // (k, k, C, F)

  // (field, words) of each block: the configuration; a select word and the memory for each
  // weight buffer that is not empty, then for the thresholds; the three control words.
  std::vector<std::pair<uint32_t, std::vector<uint32_t>>> expected;
  const auto config = ref_configuration(*layer);
  expected.emplace_back(8, config);
  const Buffers memories =
      ref_hrc_weights(shape[0], shape[2], shape[3], [&](auto y, auto x, auto c, auto f) {
        const auto s = weights->strides();
        return weights->data<int8_t>()[y * s[0] + x * s[1] + c * s[2] + f * s[3]];
      });
  size_t memory_words = 0;
  const auto memory = [&](uint32_t select, std::vector<uint32_t> words) {
    memory_words += words.size();
    if (words.empty()) return;
    expected.emplace_back(32, std::vector<uint32_t>{1u << select, 0});
    expected.emplace_back(40, std::move(words));
  };
  for (uint32_t m = 0; m < 3; ++m) memory(m, memories[m]);
  std::vector<uint32_t> thresholds;
  for (size_t n = 0; n < threshold->size(); ++n) {
    thresholds.push_back(uint32_t(threshold->get<int32_t>(n)) & 0xFFFFFF);
    thresholds.push_back(uint32_t(step->get<float>(n) * 16));
  }
  memory(31, thresholds);
  expected.emplace_back(8, std::vector<uint32_t>{config[0] & ~1u});
  expected.emplace_back(0, std::vector<uint32_t>{1});
  expected.emplace_back(0, std::vector<uint32_t>{0});

  const Mesh mesh(IpVersion::v1, hw::Ident{1, 1, 0, 0}, hw::Ident{1, 1, 1, 0}, np::Info::hrc(false),
                  {}, {});
  const auto record =
      v1::record_input_convolutional(*make_virtual_device(v1_test::v1_version(), mesh), *layer);
  std::vector<std::pair<uint32_t, std::vector<uint32_t>>> recorded;
  for (const auto& block : v1_test::blocks(*record))
    recorded.emplace_back(block.field, block.words);
  EXPECT_EQ(recorded, expected);
  EXPECT_EQ(record->key(), v1_test::v1_word());
  EXPECT_EQ(v1::hrc_weight_words(*layer),
            memory_words >= 16383 ? (memory_words + 15) / 16 * 16 : memory_words);
}

INSTANTIATE_TEST_SUITE_P(RandomLayers, V1HrcProgram, testing::Range(1u, 25u));

}  // namespace
}  // namespace morla
