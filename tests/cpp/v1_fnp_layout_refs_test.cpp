// The v1 FNP images, whole, against short references written from their layouts: the
// inference image of an FNP3 (a program block) and of an FNP2 (external memory), the
// learning image, and the learned values read back from a learning memory; random values
// over their full ranges, input counts around the 32-input groups, every weight width.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <tuple>

#include "backend/v1/fnp_learning.h"
#include "backend/v1/fnp_recording.h"
#include "core/mesh.h"
#include "core/virtual_device.h"
#include "engine/engine_layer.h"
#include "layout_refs_support.h"
#include "learning_memory_device.h"
#include "mapping/pass_mapping.h"
#include "v1_test_support.h"

namespace morla::v1 {
namespace {

using layout_refs::Random;
using layout_refs::set_bit;
using Words = std::vector<uint32_t>;

// ---- Reference ---------------------------------------------------------------------------

// Per neuron: the 20-bit threshold (0x80000 without activation), the step (0 without), two
// zero words, then for each group of 32 inputs p magnitude planes (p = 1 for 1-bit weights,
// b - 1 otherwise) of the weights that are zero or positive, and with b > 1 as many of
// the negative weights' magnitudes.
Words ref_fnp_image(const std::vector<std::vector<int>>& w, const std::vector<int32_t>& threshold,
                    const std::vector<int32_t>& step, int b, bool activation) {
  const uint32_t neurons = uint32_t(w.size()), inputs = uint32_t(w[0].size());
  const uint32_t g = (inputs + 31) / 32, p = b == 1 ? 1 : b - 1;
  const uint32_t per_neuron = (b == 1 ? g * p : 2 * g * p) + 4;
  Words image(size_t{neurons} * per_neuron, 0);
  for (uint32_t n = 0; n < neurons; ++n) {
    const size_t base = size_t{n} * per_neuron;
    image[base] = activation ? uint32_t(threshold[n]) & 0xFFFFF : 0x80000;
    image[base + 1] = activation ? uint32_t(step[n]) : 0;
    for (uint32_t i = 0; i < inputs; ++i) {
      const int v = w[n][i];
      const size_t region = base + 4 + (v < 0 ? g * p : 0);
      for (uint32_t k = 0; k < p; ++k)
        if (std::abs(v) >> k & 1) set_bit(image, region + (i / 32) * p + k, i % 32);
    }
  }
  return image;
}

// ---- Shared set-up ------------------------------------------------------------------------

std::shared_ptr<Device> device() {
  const Mesh mesh(IpVersion::v1, hw::Ident{1, 1, 0, 0}, hw::Ident{3, 4, 2, 0}, np::Info::hrc(false),
                  {}, {});
  return make_virtual_device(v1_test::v1_version(), mesh);
}

void place(const v1_test::Built& b, hw::Type type) {
  make_layer_mapping(b.layer, {hw::Component{type, {2, 1, 0, 0}, std::nullopt, {}}}, 1, 0x0101,
                     0x0101);
}

// Random weights in [low, high] written into the layer's variable (neuron, input), read
// back as rows.
std::vector<std::vector<int>> random_weights(const Layer& layer, Random& random, int low,
                                             int high) {
  const auto tensor = layer.variables().get("weights");
  const auto s = tensor->strides();
  std::vector<std::vector<int>> rows(tensor->shape()[0], std::vector<int>(tensor->shape()[1]));
  for (uint32_t n = 0; n < rows.size(); ++n)
    for (uint32_t i = 0; i < rows[n].size(); ++i)
      tensor->mutable_data<int8_t>()[n * s[0] + i * s[1]] =
          int8_t(rows[n][i] = int(random(low, high)));
  return rows;
}

// Random int32 values in [low, high] in an int32 variable, or as 1/16 steps in a float one.
std::vector<int32_t> random_values(const Layer& layer, const std::string& name, Random& random,
                                   int64_t low, int64_t high) {
  const auto tensor = layer.variables().get(name);
  std::vector<int32_t> values;
  for (size_t i = 0; i < tensor->size(); ++i) {
    values.push_back(int32_t(random(low, high)));
    if (tensor->type() == TensorType::float32)
      tensor->set<float>(i, float(values.back()) / 16);  // exact
    else
      tensor->set<int32_t>(i, values.back());
  }
  return values;
}

// The image of a record: its type-6 block on an FNP3, its external block on an FNP2.
Words image_of(const program::Record& record, hw::Type type) {
  if (type == hw::Type::FNP2)
    return record.external_block() ? record.external_block()->words : Words{};
  const auto blocks = v1_test::blocks(record);
  return blocks.empty() ? Words{} : blocks.back().words;
}

std::string np_name(hw::Type type) { return type == hw::Type::FNP2 ? "FNP2" : "FNP3"; }

// Input shapes (x, y, c): one input, just under, at and just over a group of 32, several
// groups over a spatial input.
const Shape kInputs[] = {Shape{1, 1, 1}, Shape{1, 1, 31}, Shape{1, 1, 32}, Shape{1, 1, 33},
                         Shape{3, 5, 7}};

// ---- Inference images --------------------------------------------------------------------

using ImageCase =
    std::tuple<int /*bits*/, Shape, uint32_t /*neurons*/, bool /*activation*/, hw::Type>;

std::string image_case_name(const testing::TestParamInfo<ImageCase>& info) {
  const auto& [b, in, n, activation, type] = info.param;
  return std::string("b") + std::to_string(b) + "_in" + std::to_string(in[0]) + "x" +
         std::to_string(in[1]) + "x" + std::to_string(in[2]) + "_n" + std::to_string(n) +
         (activation ? "_act_" : "_noact_") + np_name(type);
}

class FnpImage : public testing::TestWithParam<ImageCase> {};

TEST_P(FnpImage, EqualsTheReference) {
  const auto& [b, in, neurons, activation, type] = GetParam();
  const v1_test::Built layer = v1_test::after_input(
      LayerType::FullyConnected,
      {{"units", int(neurons)}, {"weights_bits", b}, {"activation", activation}, {"act_bits", 2}},
      in[0], in[1], in[2], 2);
  place(layer, type);
  Random random(uint32_t(b) * 7919 + in[0] * in[1] * in[2] * 31 + neurons * 3 + activation);
  // The weights a v1 layer accepts: 0..1 for one bit, else symmetric in b bits.
  const int high = b == 1 ? 1 : (1 << (b - 1)) - 1;
  const auto w = random_weights(*layer.layer, random, b == 1 ? 0 : -high, high);
  const auto threshold = random_values(*layer.layer, "threshold", random, -0x80000, 0x7FFFF);
  const auto step = random_values(*layer.layer, "act_step", random, 1, 0xFFFFF);
  const auto record = record_fully_connected(*device(), *layer.layer, {});
  EXPECT_EQ(image_of(*record, type), ref_fnp_image(w, threshold, step, b, activation));
}

INSTANTIATE_TEST_SUITE_P(Layouts, FnpImage,
                         testing::Combine(testing::Values(1, 2, 3, 4), testing::ValuesIn(kInputs),
                                          testing::Values(1u, 13u), testing::Bool(),
                                          testing::Values(hw::Type::FNP3, hw::Type::FNP2)),
                         image_case_name);

// ---- Learning ----------------------------------------------------------------------------

using LearningCase = std::tuple<Shape, uint32_t /*units*/, hw::Type>;

std::string learning_case_name(const testing::TestParamInfo<LearningCase>& info) {
  const auto& [in, units, type] = info.param;
  return std::string("in") + std::to_string(in[2]) + "_units" + std::to_string(units) + "_" +
         np_name(type);
}

// A 1-bit FullyConnected of `units` neurons over the input `in`, compiled for learning
// with a random num_weights and class count and placed on an FNP of `type`.
struct LearningLayer {
  v1_test::Built built;
  std::map<std::string, double> params;
  LearningLayer(const Shape& in, uint32_t units, hw::Type type, Random& random, bool activation) {
    built =
        v1_test::after_input(LayerType::FullyConnected,
                             {{"units", int(units)}, {"activation", activation}, {"act_bits", 1}},
                             in[0], in[1], in[2], 1);
    params = {{"num_weights", double(random(0, 0xFFFFF))},
              {"num_classes", double(random(1, units))},
              {"initial_plasticity", 0.5},
              {"learning_competition", 0.25},
              {"min_plasticity", 0.0},
              {"plasticity_decay", 0.0}};  // registers of 16 bits: num_weights up to 20 bits
    dynamic_cast<engine::EngineLayer&>(*built.layer)
        .compile(LearningParams::create(LearningType::MorlaUnsupervised, params));
    place(built, type);
  }
};

class FnpLearningImage : public testing::TestWithParam<LearningCase> {};

// The inference image of the 1-bit weights with, per neuron, the class in word 1 bits
// 20-29 (with two classes or more), num_weights in word 2 bits 0-19 whose bits 16-19 then
// take bits 16-19 of the learning threshold, its bits 0-15 in word 3 bits 16-31 and thswap
// in word 3 bits 0-15.
TEST_P(FnpLearningImage, EqualsTheReference) {
  const auto& [in, units, type] = GetParam();
  Random random(in[2] * 131 + units);
  for (bool activation : {false, true}) {
    LearningLayer l(in, units, type, random, activation);
    const Layer& layer = *l.built.layer;
    const auto w = random_weights(layer, random, 0, 1);
    const auto threshold = random_values(layer, "threshold", random, -0x80000, 0x7FFFF);
    const auto step = random_values(layer, "act_step", random, 1, 0xFFFFF);
    const auto learning_threshold = random_values(layer, "threshold_learning", random, 0, 0x7FFFF);
    const auto thswap = random_values(layer, "thswap", random, 0, 0xFFFF);

    Words expected = ref_fnp_image(w, threshold, step, 1, activation);
    const uint32_t per_neuron = (in[2] + 31) / 32 + 4;
    const auto classes = uint32_t(l.params["num_classes"]),
               num_weights = uint32_t(l.params["num_weights"]);
    for (uint32_t n = 0; n < units; ++n) {
      uint32_t* neuron = &expected[size_t{n} * per_neuron];
      if (classes >= 2) neuron[1] |= (n / (units / classes) + 1) << 20;
      const auto t = uint32_t(learning_threshold[n]);
      neuron[2] = (num_weights & 0xFFFF) | (t >> 16) << 16;
      neuron[3] = (t & 0xFFFF) << 16 | uint32_t(thswap[n]);
    }
    const LearningRecords records = record_fnp_learning(*device(), layer, false);
    EXPECT_EQ(image_of(*records.records[2], type), expected) << "activation " << activation;
  }
}

class FnpLearningReadBack : public testing::TestWithParam<LearningCase> {};

// From a learning memory of random words (two leading words on an FNP3 that are not part of
// the image): weight (n, i) is bit i mod 32 of neuron word 4 + i / 32, the learning
// threshold word 3 bits 16-31 with word 2 bits 16-19 above them, thswap word 3 bits 0-15.
TEST_P(FnpLearningReadBack, EqualsTheReference) {
  const auto& [in, units, type] = GetParam();
  Random random(in[2] * 17 + units);
  LearningLayer l(in, units, type, random, false);
  const uint32_t per_neuron = (in[2] + 31) / 32 + 4, skip = type == hw::Type::FNP3 ? 2 : 0;
  Words memory(skip + size_t{units} * per_neuron + 3);
  for (uint32_t& word : memory) word = uint32_t(random(0, 0xFFFFFFFF));
  v1_test::LearningMemoryDevice hardware(memory);
  Variables& variables = l.built.layer->variables();
  sync_fnp_learning(hardware, variables, type == hw::Type::FNP3);

  const auto weights = variables.get("weights");
  const auto s = weights->strides();
  const auto threshold = variables.get("threshold_learning"), thswap = variables.get("thswap");
  for (uint32_t n = 0; n < units; ++n) {
    const uint32_t* neuron = &memory[skip + size_t{n} * per_neuron];
    for (uint32_t i = 0; i < in[2]; ++i)
      ASSERT_EQ(weights->data<int8_t>()[n * s[0] + i * s[1]],
                int8_t(neuron[4 + i / 32] >> (i % 32) & 1))
          << n << " " << i;
    EXPECT_EQ(uint32_t(threshold->get<int32_t>(n)), (neuron[3] >> 16) | (neuron[2] & 0xF0000)) << n;
    EXPECT_EQ(uint32_t(thswap->get<int32_t>(n)), neuron[3] & 0xFFFF) << n;
  }
}

const auto kLearningCases = testing::Combine(
    testing::Values(Shape{1, 1, 1}, Shape{1, 1, 32}, Shape{1, 1, 33}, Shape{1, 1, 100}),
    testing::Values(1u, 7u, 30u), testing::Values(hw::Type::FNP3, hw::Type::FNP2));
INSTANTIATE_TEST_SUITE_P(Layouts, FnpLearningImage, kLearningCases, learning_case_name);
INSTANTIATE_TEST_SUITE_P(Layouts, FnpLearningReadBack, kLearningCases, learning_case_name);

}  // namespace
}  // namespace morla::v1
