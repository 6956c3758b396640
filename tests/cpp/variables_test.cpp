// The variable store, the layer's variable checks, bit widths and mapping statuses.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <vector>

#include "engine_api/layer.h"
#include "engine_api/layer_params.h"
#include "engine_api/model.h"
#include "engine_api/variables_impl.h"
#include "contract/bitwidth.h"
#include "contract/mapping_status.h"
#include "test_helpers.h"

namespace morla {
namespace {

using L = Dense::Layout;

template <typename T>
std::shared_ptr<Dense> dense(TensorType type, const Shape& shape, std::vector<T> values,
                             L layout = L::RowMajor) {
  return Dense::copy(reinterpret_cast<const char*>(values.data()), values.size() * sizeof(T), type,
                     shape, layout);
}

std::shared_ptr<Layer> built_layer(LayerType type, std::map<std::string, int> entries,
                                   std::shared_ptr<Model>& model) {
  model = Model::create();
  auto in_params = LayerParams::create(
      LayerType::InputData, {{"input_width", 4}, {"input_height", 4}, {"input_channels", 2}});
  auto input = Layer::create(in_params.get(), "in");
  model->add(input, {});
  auto params = LayerParams::create(type, entries);
  auto layer = Layer::create(params.get(), "layer");
  model->add(layer, {input});
  return layer;
}

TEST(VariablesImpl, NamesInByteOrderAndMissingNames) {
  VariablesImpl vars;
  vars.create("weights", TensorType::int8, Shape{2}, L::RowMajor);
  vars.create("act_step", TensorType::float32, Shape{2}, L::RowMajor);
  vars.create("threshold", TensorType::int32, Shape{2}, L::RowMajor);
  EXPECT_EQ(vars.names(), (std::vector<std::string>{"act_step", "threshold", "weights"}));
  EXPECT_EQ(vars.find_variable("nope"), nullptr);
  EXPECT_EQ(test::error_text<std::invalid_argument>([&] { vars.get("nope"); }),
            "No such variable 'nope'.");
  EXPECT_THROW(vars.set("nope", dense<int8_t>(TensorType::int8, Shape{2}, {1, 2})),
               std::invalid_argument);
}

TEST(VariablesImpl, SetKeepsTheTensorAndReversesShapeAcrossLayouts) {
  VariablesImpl vars;
  auto stored = vars.create("v", TensorType::int8, Shape{3, 1}, L::RowMajor);
  vars.set("v", dense<int8_t>(TensorType::int8, Shape{1, 3}, {1, 2, 3}, L::ColMajor));
  EXPECT_EQ(vars.get("v"), stored);
  EXPECT_EQ(stored->get<int8_t>(2), 3);
  EXPECT_EQ(test::error_text<std::invalid_argument>([&] {
              vars.set("v", dense<int8_t>(TensorType::int8, Shape{3, 2}, {1, 2, 3, 4, 5, 6}));
            }),
            "Unexpected tensor shape: ( 3 2 ) instead of ( 3 1 )");
}

// A value of another element type used to be copied byte for byte, past the stored buffer.
TEST(VariablesImpl, RefusesAnotherElementTypeBeforeCopying) {
  VariablesImpl vars;
  auto stored = vars.create("v", TensorType::int8, Shape{4}, L::RowMajor);
  EXPECT_THROW(vars.set("v", dense<int32_t>(TensorType::int32, Shape{4}, {1, 2, 3, 4})),
               std::invalid_argument);
  EXPECT_THROW(vars.set("v", dense<int8_t>(TensorType::int4, Shape{4}, {1, 2, 3, 4})),
               std::invalid_argument);
  for (size_t i = 0; i < 4; ++i) EXPECT_EQ(stored->get<int8_t>(i), 0);
}

// The store copies the value (and keeps nothing of it), setting a variable to itself keeps it,
// and the check sees a value of the other layout in the stored tensor's form.
TEST(VariablesImpl, CopiesTheValueAndShowsItInTheStoredForm) {
  VariablesImpl vars;
  auto stored = vars.create("v", TensorType::int8, Shape{3, 1}, L::RowMajor);
  std::vector<std::pair<Shape, L>> seen;
  vars.on_change = [&](const std::string&, const std::shared_ptr<Dense>& value) {
    seen.emplace_back(value->shape(), value->layout());
  };
  auto value = dense<int8_t>(TensorType::int8, Shape{3, 1}, {1, 2, 3});
  vars.set("v", value);
  value->set<int8_t>(0, 9);
  EXPECT_EQ(stored->get<int8_t>(0), 1);
  vars.set("v", stored);
  EXPECT_EQ(stored->get<int8_t>(2), 3);
  vars.set("v", dense<int8_t>(TensorType::int8, Shape{1, 3}, {4, 5, 6}, L::ColMajor));
  EXPECT_EQ(stored->get<int8_t>(2), 6);
  ASSERT_EQ(seen.size(), 3u);
  for (const auto& [shape, layout] : seen) {
    EXPECT_EQ(shape, (Shape{3, 1}));
    EXPECT_EQ(layout, L::RowMajor);
  }
}

// Several values out of range: the first one is named.
TEST(LayerVariables, FirstWeightOutOfRangeIsNamed) {
  std::shared_ptr<Model> model;
  auto layer = built_layer(LayerType::Dense1D, {{"units", 2}, {"weights_bits", 4}}, model);
  auto stored = layer->variables().get("weights");
  std::vector<int8_t> values(stored->size(), 0);
  values[3] = -9;
  values[7] = 9;
  EXPECT_EQ(test::error_text<std::invalid_argument>([&] {
              layer->variables().set(
                  "weights",
                  Dense::copy(reinterpret_cast<const char*>(values.data()), values.size(),
                              stored->type(), stored->shape(), stored->layout()));
            }),
            "Invalid value -9. Minimum authorized value is -8");
}

struct WeightCase {
  LayerType type;
  std::map<std::string, int> entries;
  int8_t value;
  const char* error;  // null: accepted
};

class WeightChecks : public ::testing::TestWithParam<WeightCase> {};

// A refused value leaves the variable as it was (the check runs before the copy).
TEST_P(WeightChecks, CheckThenCommit) {
  const WeightCase& c = GetParam();
  std::shared_ptr<Model> model;
  auto layer = built_layer(c.type, c.entries, model);
  auto stored = layer->variables().get("weights");
  std::vector<int8_t> values(stored->size(), 1);
  values.back() = c.value;
  auto value = Dense::copy(reinterpret_cast<const char*>(values.data()), values.size(),
                           stored->type(), stored->shape(), stored->layout());
  if (!c.error) {
    layer->variables().set("weights", std::move(value));
    EXPECT_EQ(stored->get<int8_t>(stored->size() - 1), c.value);
    return;
  }
  EXPECT_EQ(test::error_text<std::invalid_argument>(
                [&] { layer->variables().set("weights", std::move(value)); }),
            c.error);
  for (size_t i = 0; i < stored->size(); ++i) EXPECT_EQ(stored->get<int8_t>(i), 0);
}

INSTANTIATE_TEST_SUITE_P(
    ByTypeAndGeneration, WeightChecks,
    ::testing::Values(
        WeightCase{LayerType::FullyConnected,
                   {{"units", 2}, {"weights_bits", 4}},
                   -8,
                   "Invalid value -8. Minimum authorized value is -7"},
        WeightCase{LayerType::Dense1D, {{"units", 2}, {"weights_bits", 4}}, -8, nullptr},
        WeightCase{LayerType::Dense1D,
                   {{"units", 2}, {"weights_bits", 4}},
                   8,
                   "Invalid value 8. Maximum authorized value is 7"},
        WeightCase{LayerType::FullyConnected,
                   {{"units", 2}, {"weights_bits", 2}},
                   -2,
                   "Invalid value -2. Minimum authorized value is -1"},
        WeightCase{LayerType::FullyConnected,
                   {{"units", 2}, {"weights_bits", 1}},
                   2,
                   "Invalid value 2. Maximum authorized value is 1"},
        WeightCase{LayerType::Dense1D, {{"units", 2}, {"weights_bits", 8}}, -128, nullptr}),
    test::names_by([](const WeightCase& c) {
      return "type" + std::to_string(static_cast<int>(c.type)) + "_bits" +
             std::to_string(c.entries.at("weights_bits")) + "_value" + std::to_string(c.value) +
             (c.error ? "_refused" : "_accepted");
    }));

TEST(LayerVariables, ActStepAtLeastOneSixteenth) {
  std::shared_ptr<Model> model;
  auto layer = built_layer(LayerType::FullyConnected, {{"units", 2}}, model);
  auto stored = layer->variables().get("act_step");
  EXPECT_EQ(stored->get<float>(0), 1.0f);
  layer->variables().set("act_step", dense<float>(TensorType::float32, Shape{2}, {0.0625f, 2.0f}));
  EXPECT_EQ(stored->get<float>(0), 0.0625f);
  EXPECT_THROW(layer->variables().set("act_step",
                                      dense<float>(TensorType::float32, Shape{2}, {0.06f, 2.0f})),
               std::invalid_argument);
  EXPECT_EQ(stored->get<float>(0), 0.0625f);
}

TEST(LayerVariables, LutAndReluInitialContent) {
  std::shared_ptr<Model> model;
  auto lut = built_layer(LayerType::Dense1D, {{"units", 2}, {"activation", 2}}, model);
  auto table = lut->variables().get("lut_values");
  EXPECT_EQ(table->get<int32_t>(0), -1024);
  EXPECT_EQ(table->get<int32_t>(2047), 1023);
  EXPECT_EQ(lut->variables().get("activation_scales")->get<uint8_t>(1), 1);
  auto relu = built_layer(LayerType::Dense1D, {{"units", 2}}, model);
  EXPECT_EQ(relu->variables().get("max_value")->get<uint8_t>(0), 127);
  EXPECT_EQ(relu->variables().get("max_value_shift")->get<uint8_t>(0), 31);
}

// Large tensors' storage is reused once freed, and a model loaded from a buffer builds its
// variables without zero-filling them: a layer made from parameters afterwards still starts
// from zeros ("as created") and its initial values, whatever the storage held before.
TEST(LayerVariables, MadeFromParametersAfterReusedStorageStartAsCreated) {
  const std::map<std::string, int> entries{{"units", 3000}};  // 32 x 3000 weights: 96000 bytes
  std::shared_ptr<Model> model;
  for (int round = 0; round < 3; ++round) {
    auto big = Dense::create(TensorType::int8, Shape{1 << 20}, Dense::Layout::RowMajor);
    std::memset(big->mutable_data<int8_t>(), 0x5A, big->size());
    big.reset();
    auto layer = built_layer(LayerType::Dense1D, entries, model);
    auto weights = layer->variables().get("weights");
    const int8_t* w = weights->data<int8_t>();
    EXPECT_TRUE(std::all_of(w, w + weights->size(), [](int8_t v) { return v == 0; }));
    EXPECT_EQ(layer->variables().get("max_value")->get<uint8_t>(2999), 127);
    EXPECT_EQ(layer->variables().get("output_scales")->get<uint8_t>(2999), 1);
    std::memset(weights->mutable_data<int8_t>(), 0x33, weights->size());
    const SharedBytes bytes = model->serialize();
    const auto loaded =
        Model::from_buffer(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    EXPECT_EQ(loaded->get_layer("layer")->variables().get("weights")->get<int8_t>(5), 0x33);
  }
}

struct BitCase {
  TensorType type;
  std::vector<int32_t> values;
  int bits;
};

class Bitwidth : public ::testing::TestWithParam<BitCase> {};

TEST_P(Bitwidth, Evaluates) {
  const BitCase& c = GetParam();
  auto d = Dense::create(c.type, Shape{static_cast<uint32_t>(c.values.size())}, L::RowMajor);
  for (size_t i = 0; i < c.values.size(); ++i) {
    switch (storage_type(c.type)) {
      case StorageType::int8: d->set<int8_t>(i, static_cast<int8_t>(c.values[i])); break;
      case StorageType::uint8: d->set<uint8_t>(i, static_cast<uint8_t>(c.values[i])); break;
      case StorageType::int16: d->set<int16_t>(i, static_cast<int16_t>(c.values[i])); break;
      case StorageType::uint16: d->set<uint16_t>(i, static_cast<uint16_t>(c.values[i])); break;
      default: d->set<int32_t>(i, c.values[i]);
    }
  }
  EXPECT_EQ(evaluate_bitwidth(*d), c.bits);
}

INSTANTIATE_TEST_SUITE_P(
    EdgeCases, Bitwidth,
    ::testing::Values(BitCase{TensorType::int8, {0, 0}, 2}, BitCase{TensorType::int8, {-128}, 8},
                      BitCase{TensorType::int8, {127}, 8}, BitCase{TensorType::int32, {-129}, 9},
                      BitCase{TensorType::int32, {128}, 9},
                      BitCase{TensorType::int32, {INT32_MIN}, 32},
                      BitCase{TensorType::int4, {-8, 7}, 4}, BitCase{TensorType::uint8, {255}, 8},
                      BitCase{TensorType::uint8, {0}, 1}, BitCase{TensorType::uint16, {256}, 9},
                      BitCase{TensorType::bit, {0, 1}, 1}),
    test::names_by([](const BitCase& c) {
      std::string label = Tensor::type_name(c.type);
      for (int32_t v : c.values)
        label.append(v < 0 ? "_minus" : "_").append(std::to_string(v < 0 ? -int64_t{v} : v));
      return label;
    }));

TEST(BitwidthRefusals, FloatAndUnknownTypes) {
  auto f = Dense::create(TensorType::float32, Shape{2}, L::RowMajor);
  EXPECT_THROW(evaluate_bitwidth(*f), std::runtime_error);
}

TEST(CheckVariableBitwidth, StatusesAndMessages) {
  std::shared_ptr<Model> model;
  auto layer = built_layer(LayerType::Dense1D, {{"units", 2}}, model);
  std::vector<uint8_t> shifts(32, 0);
  shifts[5] = 4;
  layer->variables().set("input_shift", Dense::copy(reinterpret_cast<const char*>(shifts.data()),
                                                    32, TensorType::uint8, Shape{32}, L::RowMajor));
  EXPECT_TRUE(check_variable_bitwidth(layer, 3, "input_shift", true).ok());
  const MappingStatus wide = check_variable_bitwidth(layer, 2, "input_shift", true);
  EXPECT_EQ(wide.kind, 1);
  EXPECT_EQ(wide.message(),
            "Cannot map layer 'layer'. The variable input_shift should only contain unsigned "
            "values that use no more than 2-bit, 3 detected.");
  EXPECT_TRUE(check_variable_bitwidth(layer, 2, "absent", false).ok());
  EXPECT_EQ(check_variable_bitwidth(layer, 2, "absent", true).text, "No variable named 'absent'.");
}

TEST(MappingStatus, MergeAndRender) {
  MappingStatus ok;
  EXPECT_EQ(ok.message(), "Success.");
  MappingStatus a(1, "A");
  MappingStatus b(1, "B");
  b.layer_name = "x";
  a.merge(MappingStatus()).merge(b);
  EXPECT_EQ(a.text, "A B");
  EXPECT_EQ(a.layer_name, "");
  EXPECT_EQ(a.message(), "A B");
  MappingStatus c;
  c.merge(b);
  EXPECT_EQ(c.message(), "Cannot map layer 'x'. B");
  // Into itself: joined with one blank, as any two texts.
  MappingStatus twice(1, "A");
  twice.merge(twice);
  EXPECT_EQ(twice.text, "A A");

  MappingStatusGroup group;
  MappingStatusGroup failed;
  failed.kind = 1;
  failed.text = "failed";
  failed.statuses = {MappingStatus(1, "first"), b};
  MappingStatusGroup succeeded;
  succeeded.statuses = {b};
  group.merge(succeeded);
  EXPECT_TRUE(group.statuses.empty());
  group.merge(failed);
  EXPECT_EQ(group.message(), "Cannot map layer '':\n  * first\n  * Layer 'x': B");
  group.merge(group);
  EXPECT_EQ(group.statuses.size(), 4u);
}

}  // namespace
}  // namespace morla
