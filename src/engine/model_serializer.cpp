#include "engine/model_serializer.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <new>
#include <set>
#include <stdexcept>
#include <string>

#include "engine_api/layer.h"
#include "engine_api/layer_params.h"
#include "engine_api/variables.h"
#include "engine_api/variables_impl.h"
#include "engine/crc32c.h"
#include "engine/dense_slice.h"
#include "engine/engine_layer.h"
#include "engine/layer_types.h"
#include "model_format_generated.h"

namespace morla::engine {

namespace {

namespace fbs = morla::engine::fb;
using flatbuffers::FlatBufferBuilder;
using flatbuffers::Offset;

// The CRC-32C of the ModelDef buffer, stored after it.
constexpr size_t kChecksumSize = sizeof(uint32_t);

[[noreturn]] void refuse(const std::string& what) {
  throw std::invalid_argument("Invalid serialized model: " + what);
}

Offset<fbs::Variable> write_variable(FlatBufferBuilder& b, const std::string& name,
                                     const Dense& value) {
  const Shape shape = value.shape();
  const std::vector<uint32_t> dims(shape.begin(), shape.end());
  const auto& buffer = value.buffer();
  const auto name_offset = b.CreateString(name);
  const auto shape_offset = b.CreateVector(dims);
  const auto data_offset =
      b.CreateVector(static_cast<const uint8_t*>(buffer.data()), buffer.size());
  return fbs::CreateVariable(b, name_offset, static_cast<int32_t>(value.type()),
                             static_cast<int32_t>(value.layout()), shape_offset, data_offset);
}

// Variables that only a learning layer carries.
bool is_learning_variable(const std::string& name) {
  return name == "threshold_learning" || name == "thswap";
}

// A layer learns only as the compiled last layer of a model with learning parameters; a
// layer compiled earlier and no longer last is written as a plain layer.
Offset<fbs::Layer> write_layer(FlatBufferBuilder& b, const Layer& layer, bool learns) {
  const LayerParams* params = layer.params();
  if (!params) refuse("layer '" + layer.name() + "' has no parameters");
  std::vector<Offset<fbs::Param>> param_offsets;
  for (const auto& key : params->keys())
    param_offsets.push_back(fbs::CreateParam(b, b.CreateString(key), params->get(key)));
  std::vector<Offset<flatbuffers::String>> inbound_offsets;
  for (const auto& inbound : layer.inbound_layers())
    inbound_offsets.push_back(b.CreateString(inbound->name()));
  std::vector<Offset<fbs::Variable>> variable_offsets;
  const Variables& variables = layer.variables();
  for (const auto& name : variables.names()) {
    if (!learns && is_learning_variable(name)) continue;
    if (auto value = variables.get(name))
      variable_offsets.push_back(write_variable(b, name, *value));
  }
  const auto name_offset = b.CreateString(layer.name());
  const auto params_offset = b.CreateVector(param_offsets);
  const auto inbounds_offset = b.CreateVector(inbound_offsets);
  const auto variables_offset = b.CreateVector(variable_offsets);
  return fbs::CreateLayer(b, name_offset, static_cast<int32_t>(params->layer_type()), params_offset,
                          inbounds_offset, variables_offset, learns);
}

// What a model buffer can hold: FlatBuffers addresses its buffers with signed 32-bit offsets.
constexpr size_t kMaxBufferBytes = FLATBUFFERS_MAX_BUFFER_SIZE;

[[noreturn]] void refuse_size(size_t bytes) {
  throw std::length_error("Cannot serialize the model: it needs about " + std::to_string(bytes) +
                          " bytes, more than the " + std::to_string(kMaxBufferBytes) +
                          " a model buffer holds.");
}

// Room for every variable's bytes, so that large models are built without regrowing
// (at least the size of the buffer).
size_t estimated_size(const Model& model) {
  size_t bytes = 1024;
  for (const auto& layer : model.layers()) {
    const Variables& variables = layer->variables();
    for (const auto& name : variables.names())
      if (auto value = variables.get(name)) bytes += value->buffer().size() + 128;
  }
  return bytes;
}

}  // namespace

SharedBytes serialize_model(const Model& model) {
  const size_t estimate = estimated_size(model);
  if (estimate > kMaxBufferBytes) refuse_size(estimate);
  FlatBufferBuilder b(estimate);
  // The builder fills its buffer from the end: the first element pushed is the room for the
  // checksum trailer, written once the buffer is finished.
  b.PushElement(uint32_t{0});
  const auto& model_layers = model.layers();
  const auto learning = model.learning();
  const bool learns = learning && !model_layers.empty() && model_layers.back()->compiled();
  std::vector<Offset<fbs::Layer>> layers;
  for (size_t i = 0; i < model_layers.size(); ++i)
    layers.push_back(write_layer(b, *model_layers[i], learns && i + 1 == model_layers.size()));
  const auto layers_offset = b.CreateVector(layers);
  int32_t learning_type = -1;
  Offset<flatbuffers::Vector<Offset<fbs::LearningParam>>> learning_offset;
  if (learns) {
    learning_type = static_cast<int32_t>(learning->learning_type());
    std::set<std::string> keys;
    for (const auto& key : learning->keys()) keys.insert(key);
    std::vector<Offset<fbs::LearningParam>> entries;
    for (const auto& key : keys)
      entries.push_back(fbs::CreateLearningParam(b, b.CreateString(key), learning->get(key)));
    learning_offset = b.CreateVector(entries);
  }
  fbs::FinishModelDefBuffer(b,
                            fbs::CreateModelDef(b, layers_offset, learning_type, learning_offset));
  if (b.GetSize() > kMaxBufferBytes) refuse_size(b.GetSize());
  uint8_t* bytes = b.GetBufferPointer();
  const size_t content = b.GetSize() - kChecksumSize;
  flatbuffers::WriteScalar(bytes + content, crc32c(bytes, content));
  auto buffer = std::make_shared<flatbuffers::DetachedBuffer>(b.Release());
  return SharedBytes(buffer, buffer->data(), buffer->size());
}

namespace {

// Input layers and Quantizers are the layers a model takes without an inbound layer.
bool starts_a_branch(int32_t type) {
  try {
    return layer_type_info(static_cast<LayerType>(type)).own_input_shape;
  } catch (const std::invalid_argument&) {
    return false;  // refused as an unknown type when it is built
  }
}

// Checks that everything the layer needs is present and consistent.
void check_layer(const fbs::Layer& layer, const std::set<std::string>& earlier, size_t index) {
  const std::string name = layer.name()->str();
  if (name.empty()) refuse("layer " + std::to_string(index) + " has no name");
  if (earlier.count(name)) refuse("duplicate layer name '" + name + "'");
  std::set<std::string> keys;
  for (const auto* param : *layer.params())
    if (!keys.insert(param->key()->str()).second)
      refuse("layer '" + name + "' repeats parameter '" + param->key()->str() + "'");
  if (index > 0 && (!layer.inbounds() || layer.inbounds()->size() == 0) &&
      !starts_a_branch(layer.type()))
    refuse("layer '" + name + "' has no inbound layer");
  if (layer.inbounds())
    for (const auto* inbound : *layer.inbounds())
      if (!earlier.count(inbound->str()))
        refuse("layer '" + name + "' refers to unknown inbound layer '" + inbound->str() + "'");
  if (!layer.variables()) return;
  std::set<std::string> variable_names;
  for (const auto* variable : *layer.variables()) {
    const std::string what = "variable '" + variable->name()->str() + "' of layer '" + name + "'";
    if (!variable_names.insert(variable->name()->str()).second) refuse("duplicate " + what);
    if (variable->type() < 0 || variable->type() > 10) refuse(what + " has an unknown type");
    if (variable->layout() != 0 && variable->layout() != 1) refuse(what + " has an unknown layout");
    const auto* dims = variable->shape();
    if (dims->size() < 1 || dims->size() > Shape::kMaxDims)
      refuse(what + " has " + std::to_string(dims->size()) + " dimensions");
    uint64_t elements = 1;
    for (const uint32_t d : *dims) {
      if (d == 0) refuse(what + " has a zero dimension");
      elements *= d;
      if (elements > (uint64_t{1} << 40)) refuse(what + " is too large");
    }
    const uint64_t expected = elements * storage_size(static_cast<TensorType>(variable->type()));
    if (variable->data()->size() != expected)
      refuse(what + " holds " + std::to_string(variable->data()->size()) +
             " bytes, its shape needs " + std::to_string(expected));
  }
}

const fbs::ModelDef& verified_model_def(const char* data, size_t size) {
  if (!data || size == 0) refuse("empty buffer");
  const auto* bytes = reinterpret_cast<const uint8_t*>(data);
  if (size < 8 + kChecksumSize || !fbs::ModelDefBufferHasIdentifier(bytes))
    refuse("not a model buffer");
  const size_t content = size - kChecksumSize;
  flatbuffers::Verifier verifier(bytes, content);
  if (!fbs::VerifyModelDefBuffer(verifier)) refuse("damaged structure");
  if (crc32c(bytes, content) != flatbuffers::ReadScalar<uint32_t>(bytes + content))
    refuse("checksum mismatch");
  const auto* def = fbs::GetModelDef(bytes);
  std::set<std::string> earlier;
  size_t index = 0;
  for (const auto* layer : *def->layers()) {
    check_layer(*layer, earlier, index++);
    earlier.insert(layer->name()->str());
  }
  if (def->learning_type() >= 0 && def->layers()->size() == 0)
    refuse("learning parameters without layers");
  // Only the last layer learns, and it is compiled exactly when the model has learning.
  const auto count = def->layers()->size();
  for (flatbuffers::uoffset_t i = 0; i < count; ++i) {
    const bool expected = i + 1 == count && def->learning_type() >= 0;
    if (def->layers()->Get(i)->compiled() != expected)
      refuse("layer '" + def->layers()->Get(i)->name()->str() +
             "' has an inconsistent compiled flag");
  }
  return *def;
}

std::map<std::string, int> params_of(const fbs::Layer& info) {
  std::map<std::string, int> entries;
  for (const auto* param : *info.params()) entries[param->key()->str()] = param->value();
  return entries;
}

uint64_t stored_bytes(const fbs::Layer& info) {
  uint64_t bytes = 0;
  if (info.variables())
    for (const auto* variable : *info.variables()) bytes += variable->data()->size();
  return bytes;
}

// A buffer always holds every variable of its layers: each layer is built under a cap of
// the bytes the buffer carries for it, so that one announcing more is refused before its
// variables are allocated. The cap is lifted once the layer is in the model.
std::shared_ptr<EngineLayer> add_layer(Model& model, const fbs::Layer& info) {
  const std::string name = info.name()->str();
  const auto params = LayerParams::create(static_cast<LayerType>(info.type()), params_of(info));
  std::vector<std::shared_ptr<Layer>> inbounds;
  if (info.inbounds())
    for (const auto* inbound : *info.inbounds())
      inbounds.push_back(model.get_layer(inbound->str()));
  try {
    const auto layer = create_engine_layer(*params, name, stored_bytes(info));
    model.add(layer, inbounds);
    layer->variable_store().limit_bytes(std::nullopt);
    layer->variable_store().make_tensor = nullptr;
    return layer;
  } catch (const VariableLimitExceeded&) {
    refuse("layer '" + name + "' needs more variable data than the buffer holds");
  }
}

// The variables whose bytes overlap those of a variable before them in the buffer:
// FlatBuffers lets two fields refer to one vector, and a variable written in place must
// change no other. The first of each overlapping group keeps the bytes, the others get
// copies.
std::set<const fbs::Variable*> variables_sharing_bytes(const fbs::ModelDef& def) {
  struct Extent {
    const uint8_t* begin;
    const uint8_t* end;
    const fbs::Variable* variable;
  };
  std::vector<Extent> extents;
  for (const auto* layer : *def.layers())
    if (layer->variables())
      for (const auto* variable : *layer->variables())
        extents.push_back({variable->data()->data(),
                           variable->data()->data() + variable->data()->size(), variable});
  std::sort(extents.begin(), extents.end(),
            [](const Extent& a, const Extent& b) { return a.begin < b.begin; });
  std::set<const fbs::Variable*> sharing;
  const uint8_t* reach = nullptr;  // the furthest end of the bytes kept so far
  for (const Extent& extent : extents) {
    if (reach && extent.begin < reach) {
      sharing.insert(extent.variable);
    } else {
      reach = extent.end;
    }
  }
  return sharing;
}

// The model over `block`, which holds the verified buffer `def` lies in.
std::unique_ptr<Model> build_model(const fbs::ModelDef& def,
                                   const std::shared_ptr<uint8_t[]>& block) {
  // Each layer is checked (by its sizes here, then by the engine's own rules) before it is
  // built and linked.
  auto model = Model::create();
  std::vector<std::shared_ptr<EngineLayer>> layers;
  for (const auto* info : *def.layers()) layers.push_back(add_layer(*model, *info));
  if (def.learning_type() >= 0) {
    std::map<std::string, double> entries;
    if (def.learning())
      for (const auto* entry : *def.learning()) entries[entry->key()->str()] = entry->value();
    model->compile(LearningParams::create(static_cast<LearningType>(def.learning_type()), entries));
  }
  const std::set<const fbs::Variable*> sharing = variables_sharing_bytes(def);
  // Variables last, so that stored (learned) values win over what compiling initialises.
  for (size_t i = 0; i < layers.size(); ++i) {
    const auto* info = def.layers()->Get(static_cast<flatbuffers::uoffset_t>(i));
    if (!info->variables()) continue;
    for (const auto* variable : *info->variables()) {
      const auto* dims = variable->shape();
      const Shape shape(std::vector<uint32_t>(dims->begin(), dims->end()));
      const auto type = static_cast<TensorType>(variable->type());
      const auto layout = static_cast<Dense::Layout>(variable->layout());
      const uint8_t* data = variable->data()->data();
      const size_t size = variable->data()->size();
      // FlatBuffers starts a vector's data on a 4-byte boundary; a buffer that does not
      // (or bytes another variable shares) gets a copy.
      std::shared_ptr<Dense> value;
      const size_t element = std::max<size_t>(storage_size(type), 1);
      if (reinterpret_cast<uintptr_t>(data) % element != 0 || sharing.count(variable)) {
        value = Dense::copy(reinterpret_cast<const char*>(data), size, type, shape, layout);
      } else {
        uint8_t* slice = block.get() + (data - block.get());
        value = std::make_shared<DenseSlice>(type, shape, layout, block, slice, size);
      }
      layers[i]->variable_store().adopt(variable->name()->str(), std::move(value));
    }
  }
  return model;
}

void check_buffer_size(const char* data, size_t size) {
  if (size > kMaxBufferBytes) refuse("a buffer of " + std::to_string(size) + " bytes is too large");
  if (!data || size == 0) refuse("empty buffer");
}

}  // namespace

std::unique_ptr<Model> deserialize_model(const char* data, size_t size) {
  check_buffer_size(data, size);
  // The caller keeps its bytes: the model gets its own copy (aligned, as FlatBuffers reads
  // its scalars in place).
  OwnedBytes copy = OwnedBytes::uninitialized(size);
  std::memcpy(copy.data(), data, size);
  return deserialize_model(std::move(copy));
}

std::unique_ptr<Model> deserialize_model(OwnedBytes bytes) {
  const size_t size = bytes.size();
  const std::shared_ptr<uint8_t[]> block(bytes.release());
  const auto* data = reinterpret_cast<const char*>(block.get());
  check_buffer_size(data, size);
  const fbs::ModelDef& def = verified_model_def(data, size);
  // Whatever the engine refuses while rebuilding is a fault of the buffer.
  try {
    return build_model(def, block);
  } catch (const std::invalid_argument&) {
    throw;
  } catch (const std::bad_alloc&) {
    throw;
  } catch (const std::exception& e) {
    refuse(e.what());
  }
}

}  // namespace morla::engine

namespace morla {

std::unique_ptr<Model> Model::from_buffer(const char* data, size_t size) {
  return engine::deserialize_model(data, size);
}

std::unique_ptr<Model> Model::from_buffer(OwnedBytes bytes) {
  return engine::deserialize_model(std::move(bytes));
}

}  // namespace morla
