#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "engine_api/layer.h"
#include "engine_api/layer_params.h"
#include "engine_api/model.h"
#include "engine_api/variables.h"

namespace morla {
namespace {

std::shared_ptr<Layer> make_layer(LayerType type, const std::map<std::string, int>& keys,
                                  const std::string& name) {
  const auto params = LayerParams::create(type, keys);
  return Layer::create(params.get(), name);
}

std::shared_ptr<Dense> frames(TensorType type, const Shape& shape, uint32_t seed, int high) {
  auto dense = Dense::create(type, shape, Dense::Layout::RowMajor);
  std::mt19937 gen(seed);
  auto* bytes = static_cast<uint8_t*>(dense->buffer().mutable_data());
  for (size_t i = 0; i < dense->buffer().size(); ++i)
    bytes[i] = static_cast<uint8_t>(gen() % static_cast<uint32_t>(high + 1));
  return dense;
}

std::unique_ptr<Model> cnn() {
  auto model = Model::create();
  model->add(make_layer(LayerType::InputData,
                        {{"input_width", 9}, {"input_height", 7}, {"input_channels", 3}}, "in"),
             {});
  model->add(
      make_layer(LayerType::Conv2D,
                 {{"kernel_size", 3}, {"filters", 4}, {"pool_type", 1}, {"pool_size", 2}}, "conv"),
      {});
  model->add(make_layer(LayerType::Dense1D, {{"units", 5}, {"activation", 0}}, "dense"), {});
  for (const char* name : {"conv", "dense"}) {
    auto weights = model->get_layer(name)->variables().get("weights");
    auto* w = weights->mutable_data<int8_t>();
    for (size_t i = 0; i < weights->size(); ++i) w[i] = static_cast<int8_t>(int(i % 7) - 3);
  }
  return model;
}

TEST(ModelRunner, ForwardShapesTypesAndBatches) {
  auto model = cnn();
  const auto inputs = frames(TensorType::uint8, Shape{5, 9, 7, 3}, 1, 255);
  const auto whole = model->forward(inputs, 0);
  EXPECT_EQ(whole->type(), TensorType::int8);
  EXPECT_EQ(whole->shape(), (Shape{5, 1, 1, 5}));
  for (uint32_t batch : {1u, 2u, 5u, 9u}) EXPECT_TRUE(*model->forward(inputs, batch) == *whole);
  const auto real = model->predict(inputs, 2);
  ASSERT_EQ(real->type(), TensorType::float32);
  for (size_t i = 0; i < whole->size(); ++i)
    EXPECT_EQ(real->get<float>(i), static_cast<float>(whole->get<int8_t>(i)));
}

TEST(ModelRunner, RefusesInputsThatDoNotFit) {
  auto model = cnn();
  EXPECT_THROW(model->forward(frames(TensorType::uint8, Shape{2, 7, 9, 3}, 1, 9), 0),
               std::invalid_argument);
  EXPECT_THROW(model->forward(frames(TensorType::float32, Shape{1, 9, 7, 3}, 1, 0), 0),
               std::invalid_argument);
  EXPECT_THROW(model->forward(nullptr, 0), std::invalid_argument);
  model->pop_layer();
  EXPECT_THROW(model->predict(frames(TensorType::uint8, Shape{1, 9, 7, 3}, 1, 9), 0),
               std::runtime_error);
  EXPECT_THROW(Model::create()->forward(frames(TensorType::uint8, Shape{1, 1}, 1, 1), 0),
               std::invalid_argument);
}

// Four classes of binary patterns, 16 active inputs each, with 2 flipped bits.
std::shared_ptr<Dense> patterns(const std::vector<int32_t>& labels, uint32_t seed) {
  auto dense =
      Dense::create(TensorType::uint8, Shape{static_cast<uint32_t>(labels.size()), 8, 8, 1},
                    Dense::Layout::RowMajor);
  std::mt19937 gen(seed);
  auto* x = dense->mutable_data<uint8_t>();
  for (size_t s = 0; s < labels.size(); ++s) {
    for (uint32_t k = 0; k < 64; ++k) x[s * 64 + k] = (k * 37 % 64) / 16 == uint32_t(labels[s]);
    for (int flip = 0; flip < 2; ++flip) x[s * 64 + gen() % 64] ^= 1;
  }
  return dense;
}

TEST(ModelRunner, FitLearnsSeparatedPatterns) {
  auto model = Model::create();
  model->add(
      make_layer(
          LayerType::InputData,
          {{"input_width", 8}, {"input_height", 8}, {"input_channels", 1}, {"input_bits", 1}},
          "in"),
      {});
  model->add(make_layer(LayerType::FullyConnected, {{"units", 4}, {"activation", 0}}, "fc"), {});
  EXPECT_THROW(model->fit(patterns({0}, 1), {0}, 0), std::runtime_error);  // not compiled
  model->compile(
      LearningParams::create(LearningType::MorlaUnsupervised, {{"num_weights", 16},
                                                               {"num_classes", 4},
                                                               {"initial_plasticity", 1},
                                                               {"learning_competition", 0},
                                                               {"min_plasticity", 0.1},
                                                               {"plasticity_decay", 0.25}}));
  std::vector<int32_t> train;
  for (int i = 0; i < 24; ++i) train.push_back(i % 4);
  EXPECT_THROW(model->fit(patterns(train, 2), {0, 1}, 0), std::runtime_error);
  model->fit(patterns(train, 2), train, 5);

  std::vector<int32_t> test;
  for (int i = 0; i < 40; ++i) test.push_back((i * 3) % 4);
  const auto out = model->forward(patterns(test, 3), 0);
  const auto* potentials = out->data<int32_t>();
  int correct = 0;
  for (size_t s = 0; s < test.size(); ++s) {
    const auto* row = potentials + s * 4;
    correct += std::max_element(row, row + 4) - row == test[s];
  }
  EXPECT_GE(correct, 36);
}

}  // namespace
}  // namespace morla
