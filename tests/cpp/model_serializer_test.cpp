#include "engine/model_serializer.h"

#include <gtest/gtest.h>

#include <map>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "engine_api/layer.h"
#include "engine_api/layer_params.h"
#include "engine_api/model.h"
#include "engine_api/variables.h"
#include "engine/crc32c.h"
#include "engine/dense_slice.h"
#include "model_format_generated.h"
#include "test_helpers.h"

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

// A hand-made ModelDef followed by its valid checksum.
std::vector<uint8_t> wrap(const flatbuffers::FlatBufferBuilder& def) {
  std::vector<uint8_t> bytes(def.GetBufferPointer(), def.GetBufferPointer() + def.GetSize());
  const uint32_t checksum = crc32c(bytes.data(), bytes.size());
  for (int shift = 0; shift < 32; shift += 8) bytes.push_back(uint8_t(checksum >> shift));
  return bytes;
}

std::vector<uint8_t> serialized(const Model& model) { return model.serialize().to_vector(); }

struct VariableInfo {
  std::string name;
  TensorType type;
  std::vector<uint32_t> shape;
  size_t bytes;
  uint8_t fill = 0;
  int same_bytes_as = -1;  // index of an earlier variable whose data vector this one shares
};

// One InputData layer (4, 3, 2) plus an optional second layer, with the given pieces.
std::vector<uint8_t> crafted(int second_type, const std::vector<std::string>& inbounds,
                             const std::vector<VariableInfo>& variables,
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
  std::vector<flatbuffers::Offset<flatbuffers::Vector<uint8_t>>> data;
  for (const auto& v : variables) {
    data.push_back(v.same_bytes_as >= 0 ? data[v.same_bytes_as]
                                        : b.CreateVector(std::vector<uint8_t>(v.bytes, v.fill)));
    vars.push_back(fbs::CreateVariable(b, b.CreateString(v.name), static_cast<int>(v.type), 0,
                                       b.CreateVector(v.shape), data.back()));
  }
  std::vector<flatbuffers::Offset<flatbuffers::String>> names;
  for (const auto& name : inbounds) names.push_back(b.CreateString(name));
  layers.push_back(fbs::CreateLayer(b, b.CreateString("second"), second_type, params(second_params),
                                    b.CreateVector(names), b.CreateVector(vars)));
  fbs::FinishModelDefBuffer(b, fbs::CreateModelDef(b, b.CreateVector(layers)));
  return wrap(b);
}

std::string refusal(const std::vector<uint8_t>& buffer) {
  return test::error_text<std::invalid_argument>(
      [&] { Model::from_buffer(reinterpret_cast<const char*>(buffer.data()), buffer.size()); });
}

TEST(Crc32c, MatchesTheStandardCheckValue) {
  const std::string check = "123456789";
  const auto* bytes = reinterpret_cast<const uint8_t*>(check.data());
  EXPECT_EQ(crc32c(bytes, check.size()), 0xE3069283u);
  EXPECT_EQ(crc32c_portable(bytes, check.size()), 0xE3069283u);
  EXPECT_EQ(crc32c(nullptr, 0), 0u);
  EXPECT_EQ(crc32c_portable(nullptr, 0), 0u);
}

// The bit-by-bit definition and every way the processor has (table, crc32 instruction with
// either join, carry-less folding) agree on random lengths, those around the 8-byte steps,
// the folding's 256-byte steps and the instruction's three-block strides, at every alignment.
TEST(Crc32c, AllWaysAgree) {
  std::mt19937 gen(5);
  std::vector<uint8_t> data(3 * 4096 * 2 + 64);
  for (auto& byte : data) byte = static_cast<uint8_t>(gen());
  std::vector<size_t> lengths{0,   1,   7,   8,   9,    63,    255,   256,   511,   512,
                              513, 767, 768, 769, 1000, 12287, 12288, 12289, 13056, 24583};
  for (int i = 0; i < 40; ++i) lengths.push_back(gen() % (data.size() - 64) + 1);
  for (size_t n : lengths) {
    const size_t offset = gen() % 64;
    const uint8_t* start = data.data() + offset;
    uint32_t c = 0xFFFFFFFFu;
    for (size_t i = 0; i < n; ++i) {
      c ^= start[i];
      for (int k = 0; k < 8; ++k) c = (c & 1u) ? 0x82F63B78u ^ (c >> 1) : c >> 1;
    }
    EXPECT_EQ(crc32c(start, n), c ^ 0xFFFFFFFFu) << n << " at " << offset;
    for (const auto way : {Crc32cWay::table, Crc32cWay::instruction, Crc32cWay::instruction_clmul,
                           Crc32cWay::folding}) {
      if (!crc32c_supports(way)) continue;
      EXPECT_EQ(crc32c_by(way, start, n), c ^ 0xFFFFFFFFu)
          << n << " at " << offset << " by way " << static_cast<int>(way);
    }
  }
}

TEST(ModelSerializer, RoundTripIsDeterministicAndKeepsLearning) {
  for (bool compiled : {false, true}) {
    const auto model = sample_model(compiled);
    auto weights = model->get_layer("fc")->variables().get("weights");
    weights->mutable_data<int8_t>()[3] = 1;
    const auto bytes = serialized(*model);
    EXPECT_EQ(bytes, serialized(*model));
    const auto loaded =
        Model::from_buffer(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    EXPECT_EQ(serialized(*loaded), bytes);
    EXPECT_EQ(loaded->layer_count(), 2u);
    EXPECT_EQ(loaded->learning() != nullptr, compiled);
    EXPECT_EQ(loaded->get_layer("fc")->compiled(), compiled);
    EXPECT_EQ(loaded->get_layer("fc")->variables().get("weights")->data<int8_t>()[3], 1);
  }
}

TEST(ModelSerializer, LayerCompiledBeforeAnotherWasAddedIsWrittenAsPlain) {
  auto model = sample_model(true);
  model->add(make_layer(LayerType::FullyConnected, {{"units", 2}}, "fc2"), {});
  const auto bytes = serialized(*model);
  const auto loaded = Model::from_buffer(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  EXPECT_EQ(loaded->learning(), nullptr);
  EXPECT_FALSE(loaded->get_layer("fc")->compiled());
}

// The bytes are the ModelDef buffer, identifier "MRLM", then the CRC-32C of that buffer.
TEST(ModelSerializer, BufferIsTheModelDefFollowedByItsChecksum) {
  const auto bytes = serialized(*sample_model(true));
  ASSERT_GT(bytes.size(), 12u);
  const size_t content = bytes.size() - 4;
  EXPECT_TRUE(fbs::ModelDefBufferHasIdentifier(bytes.data()));
  const uint32_t trailer = uint32_t{bytes[content]} | uint32_t{bytes[content + 1]} << 8 |
                           uint32_t{bytes[content + 2]} << 16 | uint32_t{bytes[content + 3]} << 24;
  EXPECT_EQ(trailer, crc32c(bytes.data(), content));
  flatbuffers::Verifier verifier(bytes.data(), content);
  EXPECT_TRUE(fbs::VerifyModelDefBuffer(verifier));
  EXPECT_EQ(fbs::GetModelDef(bytes.data())->layers()->size(), 2u);
}

// Changed variable bytes or a changed trailer pass the structure check and are caught by the
// checksum.
TEST(ModelSerializer, RefusesChangedBytesByTheirChecksum) {
  const auto model = sample_model(false);
  const auto weights = model->get_layer("fc")->variables().get("weights");
  weights->mutable_data<int8_t>()[0] = 1;
  const auto bytes = serialized(*model);
  const auto* def = fbs::GetModelDef(bytes.data());
  const fbs::Variable* stored = nullptr;
  for (const auto* variable : *def->layers()->Get(1)->variables())
    if (variable->name()->str() == "weights") stored = variable;
  ASSERT_NE(stored, nullptr);
  const size_t weight_at = static_cast<size_t>(stored->data()->data() - bytes.data());
  for (size_t at : {weight_at, bytes.size() - 1}) {
    auto changed = bytes;
    changed[at] ^= 0x01;
    EXPECT_EQ(refusal(changed), "Invalid serialized model: checksum mismatch") << at;
  }
}

TEST(ModelSerializer, RefusesDamagedStructure) {
  const auto bytes = serialized(*sample_model(true));
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
    EXPECT_NE(refusal(flipped), "<no error>") << at;
  }
}

struct CraftCase {
  const char* what;
  int type;
  std::vector<std::string> inbounds;
  std::vector<VariableInfo> variables;
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
                  {{"weights", TensorType::bit, {24, 2}, 48},
                   {"threshold", TensorType::int32, {2}, 8},
                   {"act_step", TensorType::float32, {2}, 8, 0x3F}},
                  {{"units", 2}},
                  "<no error>"},
        CraftCase{"huge layer",
                  3,
                  {"in"},
                  {{"weights", TensorType::bit, {2, 24}, 48}},
                  {{"units", 65535}},
                  "needs more variable data than the buffer holds"},
        CraftCase{"weight out of range",
                  3,
                  {"in"},
                  {{"weights", TensorType::bit, {24, 2}, 48, 2},
                   {"threshold", TensorType::int32, {2}, 8},
                   {"act_step", TensorType::float32, {2}, 8, 0x3F}},
                  {{"units", 2}},
                  "Invalid value 2. Maximum authorized value is 1"},
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
        CraftCase{"unknown variable",
                  3,
                  {"in"},
                  {{"weights", TensorType::bit, {24, 2}, 48},
                   {"threshold", TensorType::int32, {2}, 8},
                   {"act_step", TensorType::float32, {2}, 8, 0x3F},
                   {"thswap", TensorType::int32, {2}, 8}},
                  {{"units", 2}},
                  "No such variable 'thswap'"},
        CraftCase{"layer type", 99, {"in"}, {}, {{"units", 2}}, "Unsupported layer type 99"},
        CraftCase{"param", 3, {"in"}, {}, {{"units", 0}}, "out of range"},
        CraftCase{"unknown key", 3, {"in"}, {}, {{"units", 2}, {"nope", 1}}, "Unknown key 'nope'"}),
    test::names_by([](const CraftCase& c) { return c.what; }));

TEST(ModelSerializer, RefusesInconsistentLearning) {
  flatbuffers::FlatBufferBuilder b;
  std::vector<flatbuffers::Offset<fbs::Param>> params = {
      fbs::CreateParam(b, b.CreateString("input_width"), 2),
      fbs::CreateParam(b, b.CreateString("input_height"), 2),
      fbs::CreateParam(b, b.CreateString("input_channels"), 1)};
  const auto layer =
      fbs::CreateLayer(b, b.CreateString("in"), 1, b.CreateVector(params), 0, 0, true);
  fbs::FinishModelDefBuffer(b, fbs::CreateModelDef(b, b.CreateVector(std::vector{layer})));
  EXPECT_NE(refusal(wrap(b)).find("inconsistent compiled flag"), std::string::npos);
}

OwnedBytes owned_copy(const std::vector<uint8_t>& bytes) {
  OwnedBytes owned = OwnedBytes::uninitialized(bytes.size());
  std::copy(bytes.begin(), bytes.end(), owned.data());
  return owned;
}

bool lies_in(const Dense& tensor, const uint8_t* begin, const uint8_t* end) {
  const auto* data = static_cast<const uint8_t*>(tensor.buffer().data());
  return data >= begin && data + tensor.buffer().size() <= end;
}

// Bytes the engine keeps become the variables themselves; bytes the caller keeps are copied.
// Either way a variable written afterwards changes itself alone, and the caller's bytes
// never.
class ModelFromBuffer : public testing::TestWithParam<bool> {};

TEST_P(ModelFromBuffer, VariablesAreTheirOwnAfterLoading) {
  const bool owned = GetParam();
  auto model = sample_model(true);
  auto* weights = model->get_layer("fc")->variables().get("weights")->mutable_data<int8_t>();
  weights[3] = 1;
  const auto bytes = serialized(*model);
  const auto caller_bytes = bytes;
  OwnedBytes given = owned_copy(bytes);
  const uint8_t* begin = given.data();
  const uint8_t* end = begin + given.size();
  auto loaded = owned
                    ? Model::from_buffer(std::move(given))
                    : Model::from_buffer(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  EXPECT_EQ(serialized(*loaded), bytes);

  auto fc = loaded->get_layer("fc");
  const Variables& variables = fc->variables();
  for (const auto& name : variables.names()) {
    const auto value = variables.get(name);
    EXPECT_EQ(lies_in(*value, begin, end), owned) << name;
    EXPECT_FALSE(lies_in(*value, bytes.data(), bytes.data() + bytes.size())) << name;
  }
  // Written in place: the other variables and the caller's bytes stay as they were.
  const auto written = fc->variables().get("weights");
  written->mutable_data<int8_t>()[3] = 0;
  written->mutable_data<int8_t>()[4] = 1;
  EXPECT_EQ(bytes, caller_bytes);
  weights[3] = 0;
  weights[4] = 1;
  EXPECT_EQ(serialized(*loaded), serialized(*model));

  // The variables outlive the model they came with.
  const auto kept = fc->variables().get("weights");
  fc.reset();
  loaded.reset();
  EXPECT_TRUE(*kept == *model->get_layer("fc")->variables().get("weights"));
}

INSTANTIATE_TEST_SUITE_P(Roads, ModelFromBuffer, testing::Bool(),
                         [](const testing::TestParamInfo<bool>& info) {
                           return info.param ? "OwnedBytes" : "CallersBytes";
                         });

// FlatBuffers lets two variables name one data vector: each gets bytes of its own.
TEST(ModelFromBuffer, VariablesSharingBytesAreSeparated) {
  const auto bytes = crafted(3, {"in"},
                             {{"weights", TensorType::bit, {24, 2}, 48},
                              {"threshold", TensorType::int32, {2}, 8, 0x3F},
                              {"act_step", TensorType::float32, {2}, 8, 0x3F, 1}});
  const auto loaded = Model::from_buffer(owned_copy(bytes));
  const Variables& variables = loaded->get_layer("second")->variables();
  const auto threshold = variables.get("threshold");
  const auto act_step = variables.get("act_step");
  EXPECT_NE(threshold->buffer().data(), act_step->buffer().data());
  const int32_t before = threshold->get<int32_t>(0);
  act_step->set<float>(0, 2.0f);
  EXPECT_EQ(threshold->get<int32_t>(0), before);
}

TEST(DenseSlice, WritesItsOwnSliceAndKeepsTheBlock) {
  std::shared_ptr<uint8_t[]> block(new uint8_t[12]{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12});
  DenseSlice first(TensorType::int8, Shape{2, 3}, Dense::Layout::RowMajor, block, block.get(), 6);
  DenseSlice second(TensorType::int8, Shape{6}, Dense::Layout::RowMajor, block, block.get() + 6, 6);
  block.reset();  // the tensors keep it
  first.set<int8_t>(5, 60);
  EXPECT_EQ(first.get<int8_t>(5), 60);
  EXPECT_EQ(second.get<int8_t>(0), 7);
  const std::vector<char> expected = {1, 2, 3, 4, 5, 60};
  const auto copy =
      Dense::copy(expected.data(), 6, TensorType::int8, Shape{2, 3}, Dense::Layout::RowMajor);
  EXPECT_TRUE(first == static_cast<const Tensor&>(*copy));
  EXPECT_THROW(
      DenseSlice(TensorType::int16, Shape{2, 3}, Dense::Layout::RowMajor, nullptr, nullptr, 6),
      std::invalid_argument);
}

}  // namespace
}  // namespace morla::engine
