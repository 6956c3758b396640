// v1 on-chip learning: the learning registers, the per-neuron learning fields, the learning
// records, and the learned image read back from the device.
#include <gtest/gtest.h>

#include "backend/v1/fnp_learning.h"
#include "backend/v1/np_errors.h"
#include "backend/v1/register_block.h"
#include "engine_api/hardware_device.h"
#include "core/mesh.h"
#include "core/virtual_device.h"
#include "engine/engine_layer.h"
#include "learning_memory_device.h"
#include "mapping/pass_mapping.h"
#include "test_helpers.h"
#include "v1_test_support.h"

namespace morla::v1 {
namespace {

using namespace v1_test;

using Learning = std::map<std::string, double>;
const Learning kLearning = {{"num_weights", 10},         {"num_classes", 1},
                            {"initial_plasticity", 0.5}, {"learning_competition", 0.25},
                            {"min_plasticity", 0.1},     {"plasticity_decay", 0.3}};

std::shared_ptr<LearningParams> learning(const Learning& changes = {}) {
  Learning values = kLearning;
  for (const auto& [k, v] : changes) values[k] = v;
  return LearningParams::create(LearningType::MorlaUnsupervised, values);
}

// A FullyConnected layer of `units` neurons over 40 one-bit inputs, compiled with `params`
// straight on the engine layer (so that parameters the model would refuse still reach the
// recorder), mapped alone on an FNP.
Built learning_layer(int units, const std::shared_ptr<LearningParams>& params,
                     hw::Type np = hw::Type::FNP3) {
  Built b =
      after_input(LayerType::FullyConnected, {{"units", units}, {"activation", 0}}, 1, 1, 40, 1);
  dynamic_cast<engine::EngineLayer&>(*b.layer).compile(params);
  hw::Component fnp;
  fnp.type = np;
  fnp.ident = {2, 1, 0, 0};
  make_layer_mapping(b.layer, {fnp}, 1, 0x0101, 0x0101);
  return b;
}

std::shared_ptr<Device> device() {
  const Mesh mesh(IpVersion::v1, hw::Ident{1, 1, 0, 0}, hw::Ident{1, 1, 1, 0}, std::nullopt, {},
                  {});
  return make_virtual_device(v1_version(), mesh);
}

void set_values(const Layer& layer, const std::string& name, const std::vector<int32_t>& values) {
  const auto tensor = layer.variables().get(name);
  for (size_t i = 0; i < values.size(); ++i) tensor->set<int32_t>(i, values[i]);
}

constexpr uint32_t kStride = 2 + 4;  // 40 one-bit inputs: two groups and four header words

TEST(LearningRegisters, CompetitionPlasticityAndDecay) {
  RegisterBlock block = init_np_registers();
  record_learning_params(block, learning().get());
  EXPECT_EQ(bits(block[36], 28, 1), 1u);
  EXPECT_EQ(bits(block[36], 0, 20), 8u);  // nearest(0.75 x 10) = nearest(7.5)
  EXPECT_EQ(bits(block[37], 0, 16), 1u);  // ceil(0.1 x 10)
  EXPECT_EQ(bits(block[38], 0, 16), 2u);  // ceil(0.3 x nearest(5))
  record_learning_params(block, learning({{"learning_competition", 1.0}}).get());
  EXPECT_EQ(bits(block[36], 0, 20), 0u);
  record_learning_params(block, nullptr);
  EXPECT_EQ(bits(block[36], 28, 1), 0u);
  EXPECT_EQ(bits(block[36], 0, 20), 0u);  // left as it was
}

TEST(LearningFields, ClassCountThatLeavesAClassWithoutNeuronsIsRefused) {
  for (double classes : {0.0, 5.0, -2.0}) {
    const Built b = learning_layer(4, learning({{"num_classes", classes}}));
    std::vector<uint32_t> image(4 * kStride, 0);
    EXPECT_EQ(test::error_text<FnpError>([&] { write_learning_fields(image, *b.layer); }),
              "Backend hardware(FullyConnected): num_classes must be between 1 and the 4 units of "
              "the layer (got " +
                  std::to_string(static_cast<int>(classes)) + ").");
  }
}

TEST(LearningFields, LearningThresholdMustBeAPositive20BitValue) {
  const Built b = learning_layer(2, learning());
  std::vector<uint32_t> image(2 * kStride, 0);
  set_values(*b.layer, "threshold_learning", {0, -1});
  EXPECT_EQ(
      test::error_text<FnpError>([&] { write_learning_fields(image, *b.layer); }),
      "Backend hardware(FullyConnected): Negative value for threshold_learning not supported.");
  set_values(*b.layer, "threshold_learning", {0, 524288});
  EXPECT_EQ(test::error_text<std::runtime_error>([&] { write_learning_fields(image, *b.layer); }),
            "524288 cannot fit in a 20-bit signed integer");
}

TEST(LearningRecords, RegistersOnAndOffThenTheImage) {
  const Built b = learning_layer(3, learning());
  for (hw::Type np : {hw::Type::FNP3, hw::Type::FNP2}) {
    make_layer_mapping(b.layer, {hw::Component{np, {2, 1, 0, 0}, std::nullopt, {}}}, 1, 0x0101,
                       0x0101);
    const LearningRecords records = record_fnp_learning(*device(), *b.layer, true);
    const auto on = blocks(*records.records[0]), off = blocks(*records.records[1]);
    ASSERT_EQ(on.size(), 1u);
    ASSERT_EQ(off.size(), 1u);
    EXPECT_EQ(bits(on[0].words[36], 28, 1), 1u);
    EXPECT_EQ(bits(off[0].words[36], 28, 1), 0u);
    EXPECT_EQ(bits(on[0].words[2], 7, 1), 1u);  // first of pass
    EXPECT_EQ(records.weight_words, 3 * kStride);
    if (np == hw::Type::FNP3) {
      EXPECT_EQ(block_kinds(*records.records[2]),
                (std::vector<std::pair<uint32_t, uint32_t>>{{6, 0}}));
    } else {
      EXPECT_TRUE(records.records[2]->buffers().empty());
      ASSERT_NE(records.records[2]->external_block(), nullptr);
      EXPECT_EQ(records.records[2]->external_block()->words.size(), 3 * kStride);
    }
  }
}

TEST(LearningReadBack, ShortLearningMemoryIsRefused) {
  const Built b = learning_layer(3, learning());
  v1_test::LearningMemoryDevice hardware(std::vector<uint32_t>(3 * kStride + 1, 0));
  EXPECT_EQ(test::error_text<std::runtime_error>(
                [&] { sync_fnp_learning(hardware, b.layer->variables(), true); }),
            "The learning memory holds 19 words; the 3 neurons of the learning layer need 20.");
  EXPECT_NO_THROW(sync_fnp_learning(hardware, b.layer->variables(), false));
}

}  // namespace
}  // namespace morla::v1

namespace morla::v1 {
namespace {

TEST(LearningRecords, ModelCompiledAndTrainedByTheEngineRecordsAsItIs) {
  // The engine keeps its learning variables within the learning memory's fields: a freshly
  // compiled layer (plasticity 1.0, nothing learned yet) and a trained one both record.
  using namespace v1_test;
  Built b = after_input(LayerType::FullyConnected, {{"units", 4}, {"activation", 0}}, 1, 1, 40, 1);
  b.model->compile(learning({{"initial_plasticity", 1.0}, {"num_classes", 2}, {"num_weights", 8}}));
  hw::Component fnp;
  fnp.type = hw::Type::FNP3;
  fnp.ident = {2, 1, 0, 0};
  make_layer_mapping(b.layer, {fnp}, 1, 0x0101, 0x0101);
  EXPECT_NO_THROW(record_fnp_learning(*device(), *b.layer, false));
  std::shared_ptr<Dense> inputs(
      Dense::create(TensorType::uint8, Shape{4, 1, 1, 40}, Dense::Layout::RowMajor));
  uint8_t* x = inputs->mutable_data<uint8_t>();
  for (size_t i = 0; i < inputs->size(); ++i) x[i] = (i % 3) == 0;
  b.model->fit(inputs, {0, 1, 0, 1}, 4);
  EXPECT_NO_THROW(record_fnp_learning(*device(), *b.layer, false));
}

}  // namespace
}  // namespace morla::v1
