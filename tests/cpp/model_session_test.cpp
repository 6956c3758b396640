// The model logic the SDK adds to the engine model: copies, classes, evaluation, metrics,
// and a layer's life in and out of models.
#include <gtest/gtest.h>

#include <cctype>
#include <limits>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "engine_api/layer.h"
#include "engine_api/layer_params.h"
#include "engine_api/model.h"
#include "engine_api/variables.h"
#include "model/labels.h"
#include "model/model_session.h"

namespace morla {
namespace {

std::shared_ptr<Layer> make(LayerType type, const std::map<std::string, int>& entries,
                            const std::string& name) {
  const auto params = LayerParams::create(type, entries);
  return Layer::create(params.get(), name);
}

std::shared_ptr<Layer> input(const std::string& name = "in", int channels = 3) {
  return make(
      LayerType::InputData,
      {{"input_width", 2}, {"input_height", 2}, {"input_channels", channels}, {"input_bits", 1}},
      name);
}

std::shared_ptr<LearningParams> learning(double classes) {
  return LearningParams::create(LearningType::MorlaUnsupervised,
                                {{"num_weights", 4}, {"num_classes", classes}});
}

// InputData (2, 2, 3) then a compiled FullyConnected of `units` units.
std::unique_ptr<Model> classifier(int units, double classes) {
  auto model = Model::create();
  model->add(input(), {});
  model->add(make(LayerType::FullyConnected, {{"units", units}}, "fc"), {});
  model->compile(learning(classes));
  return model;
}

std::shared_ptr<Dense> filled(TensorType type, const Shape& shape, const std::vector<int>& values) {
  auto dense = Dense::create(type, shape, Dense::Layout::RowMajor);
  for (size_t i = 0; i < values.size(); ++i) {
    if (type == TensorType::int32)
      dense->mutable_data<int32_t>()[i] = values[i];
    else
      dense->mutable_data<uint8_t>()[i] = static_cast<uint8_t>(values[i]);
  }
  return dense;
}

std::vector<uint8_t> bytes_of(const Model& model) { return model.serialize().to_vector(); }

TEST(ModelSessionClasses, GrowingKeepsEveryWeightAtItsCoordinates) {
  ModelSession session(classifier(10, 10));
  const auto old_layer = session.model().get_layer("fc");
  auto weights = old_layer->variables().get("weights");
  const Shape old_shape = weights->shape();  // (units, inputs)
  std::shared_ptr<Dense> marked =
      Dense::copy(static_cast<const char*>(weights->buffer().data()), weights->buffer().size(),
                  weights->type(), old_shape, weights->layout());
  int8_t* values = marked->mutable_data<int8_t>();
  for (size_t i = 0; i < marked->size(); ++i) values[i] = static_cast<int8_t>(i % 2);
  old_layer->variables().set("weights", marked);

  session.add_classes(2);
  const auto grown = session.model().get_layer("fc");
  EXPECT_EQ(grown->params()->get("units"), 12);
  EXPECT_EQ(session.model().learning()->get("num_classes"), 12.0);
  const auto now = grown->variables().get("weights");
  const auto so = marked->strides(), sn = now->strides();
  for (uint32_t a = 0; a < old_shape[0]; ++a)
    for (uint32_t i = 0; i < old_shape[1]; ++i)
      ASSERT_EQ(now->data<int8_t>()[a * sn[0] + i * sn[1]], values[a * so[0] + i * so[1]])
          << a << ", " << i;
}

TEST(ModelSessionClasses, RefusalsLeaveTheModelAsItWas) {
  struct Case {
    const char* what;
    std::unique_ptr<Model> model;
    int32_t classes;
  };
  auto uncompiled = Model::create();
  uncompiled->add(input(), {});
  uncompiled->add(make(LayerType::FullyConnected, {{"units", 4}}, "fc"), {});
  std::vector<Case> cases;
  cases.push_back({"no class", classifier(4, 2), 0});
  cases.push_back({"not compiled", std::move(uncompiled), 1});
  cases.push_back({"too many", classifier(4, 1), 2147483647});
  for (auto& c : cases) {
    const auto before = bytes_of(*c.model);
    ModelSession session(std::move(c.model));
    EXPECT_ANY_THROW(session.add_classes(c.classes)) << c.what;
    EXPECT_EQ(bytes_of(session.model()), before) << c.what;
  }
}

// Variables fetched before add_classes belong to a layer no model holds any more.
TEST(ModelSessionClasses, VariablesOfTheReplacedLayerRefuseWrites) {
  ModelSession session(classifier(4, 2));
  const auto old_layer = session.model().get_layer("fc");  // kept alive, as Python keeps it
  Variables& stale = old_layer->variables();
  const auto threshold = stale.get("threshold");
  session.add_classes(1);
  EXPECT_THROW(stale.set("threshold", threshold), std::runtime_error);
  Variables& current = session.model().get_layer("fc")->variables();
  EXPECT_NO_THROW(current.set("threshold", current.get("threshold")));
}

struct VoteCase {
  const char* what;
  TensorType type;
  Shape shape;
  std::vector<int> values;
  uint32_t classes;
  std::vector<int32_t> labels;
};

class ClassVotes : public testing::TestWithParam<VoteCase> {};

TEST_P(ClassVotes, StrongestRunOfNeuronsWins) {
  const VoteCase& c = GetParam();
  EXPECT_EQ(predict_labels(filled(c.type, c.shape, c.values), c.classes), c.labels);
}

INSTANTIATE_TEST_SUITE_P(
    Outputs, ClassVotes,
    testing::Values(
        // 4 neurons, 2 classes: neurons 0-1 vote for class 0, 2-3 for class 1.
        VoteCase{
            "runs", TensorType::int32, Shape{2, 1, 1, 4}, {1, 2, 3, 0, 5, -1, 0, 4}, 2, {1, 0}},
        VoteCase{"tie keeps the lower class", TensorType::int32, Shape{1, 1, 1, 2}, {7, 7}, 2, {0}},
        VoteCase{"nothing above zero", TensorType::uint8, Shape{1, 1, 1, 3}, {0, 0, 0}, 3, {-1}},
        VoteCase{
            "negative potentials", TensorType::int32, Shape{1, 1, 1, 3}, {-9, -3, -5}, 3, {1}}),
    [](const testing::TestParamInfo<VoteCase>& p) {
      std::string name = p.param.what;
      for (auto& ch : name)
        if (!isalnum(static_cast<unsigned char>(ch))) ch = '_';
      return name;
    });

TEST(ModelSessionInference, EmptyModelRefusesBeforeConvertingInputs) {
  ModelSession session(Model::create());
  bool converted = false;
  const ModelSession::Inputs inputs = [&] {
    converted = true;
    return Dense::create(TensorType::uint8, Shape{1, 2, 2, 3}, Dense::Layout::RowMajor);
  };
  EXPECT_THROW(session.forward(inputs, 0), std::invalid_argument);
  EXPECT_THROW(session.evaluate(inputs, {0}, 0, 0), std::invalid_argument);
  EXPECT_FALSE(converted);
  EXPECT_TRUE(session.metrics().names().empty());
}

TEST(ModelSessionInference, SoftwareRunWritesFramesAndTimesOnly) {
  ModelSession session(classifier(4, 2));
  const auto outputs = session.forward(
      [] {
        return Dense::create(TensorType::uint8, Shape{3, 2, 2, 3}, Dense::Layout::RowMajor);
      },
      0);
  EXPECT_EQ(outputs->shape()[0], 3u);
  EXPECT_EQ(session.metrics().get("inference_frames"), 3);
  EXPECT_LE(session.metrics().get("inference_start"), session.metrics().get("inference_end"));
  EXPECT_THROW(session.metrics().get("inference_clk"), std::invalid_argument);
  EXPECT_TRUE(session.power_events().empty());
}

TEST(ModelSessionCopy, CopiesLayersIntoANewModel) {
  const auto source = classifier(4, 2);
  const auto fc = source->get_layer("fc");
  const auto copy = ModelSession::from_layers(source->layers());
  EXPECT_EQ(bytes_of(copy.model()), bytes_of(*source));
  EXPECT_NE(copy.model().get_layer("fc"), fc);
  // Without its input layer, the copy gets an InputData layer built from the input shape.
  const auto tail = ModelSession::from_layers({fc});
  EXPECT_EQ(tail.model().layer_count(), 2u);
  EXPECT_EQ(tail.model().get_layer(0)->name(), "InputData");
  EXPECT_THROW(ModelSession::from_layers({fc, nullptr}), std::runtime_error);
}

TEST(ModelSessionCopy, UnmappedModelHasNoComponents) {
  ModelSession session(classifier(4, 2));
  EXPECT_TRUE(session.component_count().empty());
  EXPECT_EQ(session.external_memory_size(), 0u);
}

TEST(WholeLabel, OnlyWholeNumbersWithinInt32) {
  EXPECT_EQ(whole_label(3.0f), 3);
  EXPECT_EQ(whole_label(-2147483648.0f), INT32_MIN);
  for (const float refused :
       {2.5f, 2147483648.0f, -2147483904.0f, std::numeric_limits<float>::quiet_NaN(),
        std::numeric_limits<float>::infinity()})
    EXPECT_FALSE(whole_label(refused).has_value()) << refused;
}

// ---- A layer's life in and out of models --------------------------------------------------

TEST(LayerOwnership, LayerOfAnotherModelIsRefusedAndUntouched) {
  auto first = classifier(4, 2);
  const auto fc = first->get_layer("fc");
  const auto before = bytes_of(*first);
  auto second = Model::create();
  second->add(input("other"), {});
  EXPECT_THROW(second->add(fc, {}), std::invalid_argument);
  EXPECT_EQ(bytes_of(*first), before);
  EXPECT_EQ(fc->inbound_layers().front(), first->get_layer("in"));
}

TEST(LayerOwnership, PoppedLayerKeepsItsVariablesWhenAddedAgain) {
  auto model = classifier(4, 2);
  const auto fc = model->get_layer("fc");
  std::shared_ptr<Dense> threshold =
      Dense::create(TensorType::int32, Shape{4}, Dense::Layout::RowMajor);
  threshold->mutable_data<int32_t>()[2] = 17;
  fc->variables().set("threshold", threshold);
  model->pop_layer();
  auto other = Model::create();
  other->add(input(), {});
  other->add(fc, {});
  EXPECT_EQ(fc->variables().get("threshold")->data<int32_t>()[2], 17);
}

TEST(LayerOwnership, RefusedAddLeavesTheLayerUnlinked) {
  auto model = Model::create();
  const auto in = input("in", 3);
  model->add(in, {});
  // A 5x5 kernel does not fit a 2x2 input with Valid padding: the build is refused.
  const auto conv =
      make(LayerType::Conv2D, {{"kernel_size", 5}, {"filters", 2}, {"padding", 0}}, "conv");
  EXPECT_ANY_THROW(model->add(conv, {in}));
  EXPECT_TRUE(conv->inbound_layers().empty());
  EXPECT_EQ(conv->input_dims().size(), 0u);
  EXPECT_EQ(model->layer_count(), 1u);
  // It can go into another model afterwards.
  auto other = Model::create();
  other->add(make(LayerType::InputData,
                  {{"input_width", 8}, {"input_height", 8}, {"input_channels", 3}}, "big"),
             {});
  EXPECT_NO_THROW(other->add(conv, {}));
}

TEST(LayerOwnership, EmptyNameIsRefusedWhenTheLayerIsMade) {
  const auto params = LayerParams::create(
      LayerType::InputData, {{"input_width", 2}, {"input_height", 2}, {"input_channels", 1}});
  EXPECT_THROW(Layer::create(params.get(), ""), std::invalid_argument);
}

}  // namespace
}  // namespace morla
