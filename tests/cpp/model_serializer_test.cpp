#include "engine/model_serializer.h"

#include <gtest/gtest.h>

#include <map>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/layer.h"
#include "core/layer_params.h"
#include "core/model.h"
#include "core/variables.h"
#include "engine/crc32.h"
#include "model_format_generated.h"

namespace morla::engine {
namespace {

namespace fbs = morla::engine::fb;

std::shared_ptr<Layer> make_layer(LayerType type, const std::map<std::string, int>& keys,
                                  const std::string& name) {
  const auto params = LayerParams::create(type, keys);
  return Layer::create(params.get(), name);
}

std::unique_ptr<Model> sample_model(bool compiled) {
  auto model = Model::create();
  model->add(
      make_layer(
          LayerType::InputData,
          {{"input_width", 4}, {"input_height", 3}, {"input_channels", 2}, {"input_bits", 1}},
          "in"),
      {});
  model->add(make_layer(LayerType::FullyConnected, {{"units", 4}, {"activation", 0}}, "fc"), {});
  if (compiled)
    model->compile(
        LearningParams::create(LearningType::MorlaUnsupervised, {{"num_weights", 5},
                                                                 {"num_classes", 2},
                                                                 {"initial_plasticity", 1},
                                                                 {"learning_competition", 0},
                                                                 {"min_plasticity", 0.1},
                                                                 {"plasticity_decay", 0.25}}));
  return model;
}

// Serializes a hand-made ModelDef with a valid checksum.
std::vector<uint8_t> wrap(const flatbuffers::FlatBufferBuilder& def) {
  const std::vector<uint8_t> content(def.GetBufferPointer(),
                                     def.GetBufferPointer() + def.GetSize());
  flatbuffers::FlatBufferBuilder b;
  b.ForceVectorAlignment(content.size(), 1, 8);
  const auto offset = b.CreateVector(content);
  fbs::FinishModelFileBuffer(
      b, fbs::CreateModelFile(b, offset, crc32(content.data(), content.size())));
  return {b.GetBufferPointer(), b.GetBufferPointer() + b.GetSize()};
}

struct VariableSpec {
  std::string name;
  TensorType type;
  std::vector<uint32_t> shape;
  size_t bytes;
};

// One InputData layer (4, 3, 2) plus an optional second layer, with the given pieces.
std::vector<uint8_t> crafted(int second_type, const std::vector<std::string>& inbounds,
                             const std::vector<VariableSpec>& variables,
                             std::map<std::string, int> second_params = {{"units", 2}}) {
  flatbuffers::FlatBufferBuilder b;
  auto params = [&](const std::map<std::string, int>& entries) {
    std::vector<flatbuffers::Offset<fbs::Param>> out;
    for (const auto& [key, value] : entries)
      out.push_back(fbs::CreateParam(b, b.CreateString(key), value));
    return b.CreateVector(out);
  };
  std::vector<flatbuffers::Offset<fbs::Layer>> layers;
  layers.push_back(
      fbs::CreateLayer(b, b.CreateString("in"), static_cast<int>(LayerType::InputData),
                       params({{"input_width", 4}, {"input_height", 3}, {"input_channels", 2}})));
  std::vector<flatbuffers::Offset<fbs::Variable>> vars;
  for (const auto& v : variables)
    vars.push_back(fbs::CreateVariable(b, b.CreateString(v.name), static_cast<int>(v.type), 0,
                                       b.CreateVector(v.shape),
                                       b.CreateVector(std::vector<uint8_t>(v.bytes, 0))));
  std::vector<flatbuffers::Offset<flatbuffers::String>> names;
  for (const auto& name : inbounds) names.push_back(b.CreateString(name));
  layers.push_back(fbs::CreateLayer(b, b.CreateString("second"), second_type, params(second_params),
                                    b.CreateVector(names), b.CreateVector(vars)));
  b.Finish(fbs::CreateModelDef(b, b.CreateVector(layers)));
  return wrap(b);
}

std::string refusal(const std::vector<uint8_t>& buffer) {
  try {
    Model::from_buffer(reinterpret_cast<const char*>(buffer.data()), buffer.size());
  } catch (const std::invalid_argument& e) {
    return e.what();
  }
  return "<loaded>";
}

TEST(Crc32, MatchesTheStandardCheckValueAndTheBytewiseForm) {
  const std::string check = "123456789";
  EXPECT_EQ(crc32(reinterpret_cast<const uint8_t*>(check.data()), check.size()), 0xCBF43926u);
  EXPECT_EQ(crc32(nullptr, 0), 0u);
  std::mt19937 gen(5);
  std::vector<uint8_t> data(1000);
  for (auto& byte : data) byte = static_cast<uint8_t>(gen());
  for (size_t n : {1u, 7u, 8u, 9u, 63u, 1000u}) {
    uint32_t c = 0xFFFFFFFFu;
    for (size_t i = 0; i < n; ++i) {
      c ^= data[i];
      for (int k = 0; k < 8; ++k) c = (c & 1u) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
    }
    EXPECT_EQ(crc32(data.data(), n), c ^ 0xFFFFFFFFu) << n;
  }
}

TEST(ModelSerializer, RoundTripIsDeterministicAndKeepsLearning) {
  for (bool compiled : {false, true}) {
    const auto model = sample_model(compiled);
    auto weights = model->get_layer("fc")->variables().get("weights");
    weights->mutable_data<int8_t>()[3] = 1;
    const auto bytes = model->serialize();
    EXPECT_EQ(bytes, model->serialize());
    const auto loaded =
        Model::from_buffer(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    EXPECT_EQ(loaded->serialize(), bytes);
    EXPECT_EQ(loaded->layer_count(), 2u);
    EXPECT_EQ(loaded->learning() != nullptr, compiled);
    EXPECT_EQ(loaded->get_layer("fc")->compiled(), compiled);
    EXPECT_EQ(loaded->get_layer("fc")->variables().get("weights")->data<int8_t>()[3], 1);
  }
}

TEST(ModelSerializer, LayerCompiledBeforeAnotherWasAddedIsWrittenAsPlain) {
  auto model = sample_model(true);
  model->add(make_layer(LayerType::FullyConnected, {{"units", 2}}, "fc2"), {});
  const auto bytes = model->serialize();
  const auto loaded = Model::from_buffer(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  EXPECT_EQ(loaded->learning(), nullptr);
  EXPECT_FALSE(loaded->get_layer("fc")->compiled());
}

TEST(ModelSerializer, RefusesDamagedStructure) {
  const auto bytes = sample_model(true)->serialize();
  EXPECT_EQ(refusal({}), "Invalid serialized model: empty buffer");
  EXPECT_EQ(refusal({bytes.begin(), bytes.begin() + 6}),
            "Invalid serialized model: not a model buffer");
  auto other = bytes;
  other[4] = 'X';
  EXPECT_EQ(refusal(other), "Invalid serialized model: not a model buffer");
  EXPECT_EQ(refusal({bytes.begin(), bytes.end() - 40}),
            "Invalid serialized model: damaged structure");
  // A flipped byte deep in the content is caught by the checksum or the verifier.
  for (size_t at : {bytes.size() / 2, bytes.size() - 30}) {
    auto flipped = bytes;
    flipped[at] ^= 0x10;
    EXPECT_NE(refusal(flipped), "<loaded>") << at;
  }
}

struct CraftCase {
  const char* what;
  int type;
  std::vector<std::string> inbounds;
  std::vector<VariableSpec> variables;
  std::map<std::string, int> params;
  const char* message;
};

class ModelSerializerContent : public testing::TestWithParam<CraftCase> {};

TEST_P(ModelSerializerContent, RefusedBeforeAnythingIsBuilt) {
  const CraftCase& c = GetParam();
  EXPECT_NE(refusal(crafted(c.type, c.inbounds, c.variables, c.params)).find(c.message),
            std::string::npos)
      << c.what << ": " << refusal(crafted(c.type, c.inbounds, c.variables, c.params));
}

INSTANTIATE_TEST_SUITE_P(
    Crafted, ModelSerializerContent,
    testing::Values(
        CraftCase{"valid",
                  3,
                  {"in"},
                  {{"weights", TensorType::bit, {24, 2}, 48}},
                  {{"units", 2}},
                  "<loaded>"},
        CraftCase{"huge layer",
                  3,
                  {"in"},
                  {{"weights", TensorType::bit, {2, 24}, 48}},
                  {{"units", 65535}},
                  "needs more variable data than the buffer holds"},
        CraftCase{"no inbound", 3, {}, {}, {{"units", 2}}, "has no inbound layer"},
        CraftCase{
            "unknown inbound", 3, {"nope"}, {}, {{"units", 2}}, "unknown inbound layer 'nope'"},
        CraftCase{"size",
                  3,
                  {"in"},
                  {{"weights", TensorType::bit, {2, 24}, 47}},
                  {{"units", 2}},
                  "holds 47 bytes, its shape needs 48"},
        CraftCase{"zero dim",
                  3,
                  {"in"},
                  {{"weights", TensorType::bit, {0, 24}, 0}},
                  {{"units", 2}},
                  "has a zero dimension"},
        CraftCase{"too many dims",
                  3,
                  {"in"},
                  {{"weights", TensorType::bit, {1, 1, 1, 1, 2}, 2}},
                  {{"units", 2}},
                  "has 5 dimensions"},
        CraftCase{"type",
                  3,
                  {"in"},
                  {{"weights", static_cast<TensorType>(11), {2}, 2}},
                  {{"units", 2}},
                  "has an unknown type"},
        CraftCase{"wrong shape",
                  3,
                  {"in"},
                  {{"weights", TensorType::bit, {3, 24}, 72}},
                  {{"units", 2}},
                  "Unexpected tensor shape"},
        CraftCase{
            "unknown variable",
            3,
            {"in"},
            {{"weights", TensorType::bit, {24, 2}, 48}, {"thswap", TensorType::int32, {2}, 8}},
            {{"units", 2}},
            "No such variable 'thswap'"},
        CraftCase{"layer type", 99, {"in"}, {}, {{"units", 2}}, "Unsupported layer type 99"},
        CraftCase{"param", 3, {"in"}, {}, {{"units", 0}}, "out of range"},
        CraftCase{
            "unknown key", 3, {"in"}, {}, {{"units", 2}, {"nope", 1}}, "Unknown key 'nope'"}));

TEST(ModelSerializer, RefusesInconsistentLearning) {
  flatbuffers::FlatBufferBuilder b;
  std::vector<flatbuffers::Offset<fbs::Param>> params = {
      fbs::CreateParam(b, b.CreateString("input_width"), 2),
      fbs::CreateParam(b, b.CreateString("input_height"), 2),
      fbs::CreateParam(b, b.CreateString("input_channels"), 1)};
  const auto layer =
      fbs::CreateLayer(b, b.CreateString("in"), 1, b.CreateVector(params), 0, 0, true);
  b.Finish(fbs::CreateModelDef(b, b.CreateVector(std::vector{layer})));
  EXPECT_NE(refusal(wrap(b)).find("inconsistent compiled flag"), std::string::npos);
}

}  // namespace
}  // namespace morla::engine
