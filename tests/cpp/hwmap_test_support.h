#pragma once
// Small models, programs and recorders for the tests of sequences and their programs.
#include <flatbuffers/flatbuffers.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "core/layer.h"
#include "core/layer_params.h"
#include "core/model.h"
#include "core/variables.h"

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

}  // namespace morla::test
