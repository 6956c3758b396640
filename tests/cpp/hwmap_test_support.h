#pragma once
// Small models, programs and recorders for the tests of sequences and their programs.
#include <flatbuffers/flatbuffers.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "engine_api/layer.h"
#include "engine_api/layer_params.h"
#include "engine_api/model.h"
#include "engine_api/variables.h"
#include "contract/io_recorder.h"
#include "contract/layer_recorder.h"
#include "contract/program_record.h"

namespace morla::test {

inline std::shared_ptr<Layer> make_layer(LayerType type, const std::map<std::string, int>& keys,
                                         const std::string& name) {
  return Layer::create(LayerParams::create(type, keys).get(), name);
}

// InputData (4, 3, 2) then a Dense1D of three units, weights set.
inline std::shared_ptr<Model> dense_model() {
  std::shared_ptr<Model> model = Model::create();
  model->add(make_layer(LayerType::InputData,
                        {{"input_width", 4}, {"input_height", 3}, {"input_channels", 2}}, "in"),
             {});
  model->add(make_layer(LayerType::Dense1D, {{"units", 3}, {"activation", 0}}, "dense"), {});
  auto weights = model->get_layer("dense")->variables().get("weights");
  for (size_t i = 0; i < weights->size(); ++i)
    weights->mutable_data<int8_t>()[i] = static_cast<int8_t>(int(i % 5) - 2);
  return model;
}

// n frames of dense_model's input shape, uint8 values spread over 0..250.
inline std::shared_ptr<Dense> dense_model_inputs(uint32_t n) {
  auto inputs = Dense::create(TensorType::uint8, Shape{n, 4, 3, 2}, Dense::Layout::RowMajor);
  for (size_t i = 0; i < inputs->size(); ++i)
    inputs->mutable_data<uint8_t>()[i] = static_cast<uint8_t>(i * 37 % 251);
  return inputs;
}

// Bytes shaped like a device program (two size-prefixed buffers), without learning.
inline std::vector<uint8_t> program_with_marker(uint32_t marker) {
  std::vector<uint8_t> program;
  for (uint32_t part = 0; part < 2; ++part) {
    flatbuffers::FlatBufferBuilder builder;
    const auto start = builder.StartTable();
    builder.AddElement<uint32_t>(4, marker + part, 0);
    builder.FinishSizePrefixed(flatbuffers::Offset<flatbuffers::Table>(builder.EndTable(start)));
    program.insert(program.end(), builder.GetBufferPointer(),
                   builder.GetBufferPointer() + builder.GetSize());
  }
  return program;
}

// A record of `buffers` word buffers of `words` words each, with an external block of
// `external` words when that is not zero.
inline program::RecordPtr record_of(uint32_t buffers, uint32_t words = 2, uint32_t external = 0) {
  auto record = std::make_unique<program::Record>(0);
  for (uint32_t i = 0; i < buffers; ++i)
    record->append_np_program(hw::Ident{1, 2, 0, 0}, 1, 0, std::vector<uint32_t>(words, i), true,
                              false);
  if (external) record->set_external_block(0x020201, std::vector<uint32_t>(external, 7));
  return record;
}

// Records the sequence input as one buffer; codes 0 in, 3 out (no output registers).
class FakeIoRecorder final : public IoRecorder {
 public:
  program::RecordPtr record_input(bool, bool, bool, bool, bool, const Shape&,
                                  const Shape&) const override {
    return record_of(1);
  }
  RegisterWrites output_registers(const std::shared_ptr<Layer>&, uint8_t, uint8_t, uint8_t, bool,
                                  bool, bool) const override {
    return {};
  }
  uint8_t input_code(const std::shared_ptr<Layer>&) const override { return 0; }
  uint8_t output_code(const std::shared_ptr<Layer>&, uint8_t) const override { return 3; }
};

// Records each layer as the number of buffers given for its name (none for others).
class FakeLayerRecorder final : public LayerRecorder {
 public:
  std::map<std::string, uint32_t> buffers;
  uint32_t external_words = 0;

  program::RecordPtr record_layer(const std::shared_ptr<Layer>& layer,
                                  const std::shared_ptr<Layer>&, const std::shared_ptr<Layer>&,
                                  uint8_t, uint8_t, const std::vector<hw::Ident>&, uint8_t,
                                  uint8_t) const override {
    const auto found = buffers.find(layer->name());
    return record_of(found == buffers.end() ? 0 : found->second, 2, external_words);
  }
  LearningRecords record_learning(const std::shared_ptr<Layer>&, uint32_t) const override {
    return {{record_of(1), record_of(1), record_of(1)}, 0};
  }
  void sync_learning_vars(const std::shared_ptr<Layer>&) const override {}
};

}  // namespace morla::test
