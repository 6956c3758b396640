#pragma once
// Models of StatefulRecurrent chains for the Mote back-end tests, built with the engine.
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "engine_api/layer.h"
#include "engine_api/layer_impl.h"
#include "engine_api/layer_params.h"
#include "engine_api/model.h"
#include "engine_api/variables.h"
#include "core/virtual_device.h"
#include "contract/hardware_description.h"
#include "contract/layer_mapping.h"

namespace morla::mote_test {

using Entries = std::map<std::string, int>;

// A chain InputData -> layers..., each added after the previous one.
class Chain {
 public:
  // The host input: `timesteps` rows of `channels` values of `bits` bits.
  Chain(uint32_t timesteps, uint32_t channels, int bits = 8) : model_(Model::create()) {
    add(LayerType::InputData,
        {{"input_width", 1},
         {"input_height", static_cast<int>(timesteps)},
         {"input_channels", static_cast<int>(channels)},
         {"input_bits", bits}},
        "input");
  }

  Chain& recurrent(const std::string& name, int state, int outputs, Entries more = {}) {
    more["stateful_channels"] = state;
    more["output_channels"] = outputs;
    return add(LayerType::StatefulRecurrent, more, name);
  }
  Chain& post_processing(const std::string& name = "post") {
    return add(LayerType::MotePostProcessing, {}, name);
  }
  Chain& dequantizer(const std::string& name = "dequantizer") {
    return add(LayerType::Dequantizer, {}, name);
  }
  Chain& add(LayerType type, const Entries& entries, const std::string& name) {
    auto params = LayerParams::create(type, entries);
    model_->add(Layer::create(params.get(), name), {});
    return *this;
  }

  std::shared_ptr<Layer> operator[](const std::string& name) const {
    return model_->get_layer(name);
  }
  Model& model() { return *model_; }

 private:
  std::unique_ptr<Model> model_;
};

// Element `index` of a layer's variable.
template <typename T>
void set_value(const Layer& layer, const std::string& name, size_t index, T value) {
  layer.variables().get(name)->set<T>(index, value);
}

template <typename T>
void fill_values(const Layer& layer, const std::string& name, T value) {
  auto tensor = layer.variables().get(name);
  for (size_t i = 0; i < tensor->size(); ++i) tensor->set<T>(i, value);
}

// Replaces a variable with a zero tensor of another type or shape.
inline std::shared_ptr<Dense> replace_variable(Layer& layer, const std::string& name,
                                               TensorType type, const Shape& shape) {
  return dynamic_cast<LayerImpl&>(layer).variable_store().create(name, type, shape,
                                                                 Dense::Layout::RowMajor);
}

// A Mote device with its one TNP-R.
inline std::shared_ptr<VirtualDevice> mote_device() {
  const Mesh mesh(IpVersion::mote, hw::Ident{}, hw::Ident{}, std::nullopt,
                  {np::Info{hw::Ident{}, {hw::Type::TNP_R}, false}}, {});
  return make_virtual_device(HwVersion{1, 0xB1, 2, 3}, mesh);
}

// Maps `layer` on one TNP-R component with `ident`, as the mapping does for a chain start.
inline void map_on_tnp_r(Layer& layer, const hw::Ident& ident) {
  auto mapping = std::make_shared<LayerMapping>();
  hw::Component component;
  component.type = hw::Type::TNP_R;
  component.ident = ident;
  mapping->nps = share_components({component});
  layer.mapping() = mapping;
}

// A Mote description whose TNP-R limits are never reached.
inline HardwareDescription roomy_description() {
  HardwareDescription description;
  description[HardwareDescription::stsram_32b_words] = 0xFFFFFFFF;
  description[HardwareDescription::fsram_64b_words] = 0xFFFFFFFF;
  description[HardwareDescription::tsram_51b_words] = 0xFFFFFFFF;
  description[HardwareDescription::evsram_32b_words] = 0xFFFFFFFF;
  return description;
}

// A layer seen with another input: everything else is the wrapped layer's. Stands for
// inputs the engine cannot build (one-dimensional, or wider than 32 bits).
class ReshapedInput final : public Layer {
 public:
  ReshapedInput(std::shared_ptr<Layer> inner, Shape dims, uint32_t bits)
      : inner_(std::move(inner)), dims_(dims), bits_(bits) {}

  const std::string& name() const override { return inner_->name(); }
  Shape input_dims() const override { return dims_; }
  Shape output_dims() const override { return inner_->output_dims(); }
  uint32_t input_bits() const override { return bits_; }
  uint32_t output_bits() const override { return inner_->output_bits(); }
  bool output_signed() const override { return inner_->output_signed(); }
  IpVersion ip_version() const override { return inner_->ip_version(); }
  bool is_target_component(ComponentKind kind) const override {
    return inner_->is_target_component(kind);
  }
  bool splittable() const override { return inner_->splittable(); }
  bool is_channel_wise() const override { return inner_->is_channel_wise(); }
  bool is_input_layer() const override { return inner_->is_input_layer(); }
  const LayerParams* params() const override { return inner_->params(); }
  const LearningParams* learning_params() const override { return inner_->learning_params(); }
  bool compiled() const override { return inner_->compiled(); }
  const Variables& variables() const override { return inner_->variables(); }
  Variables& variables() override { return inner_->variables(); }
  bool has_activation_type(ActivationType type) const override {
    return inner_->has_activation_type(type);
  }
  bool has_activation() const override { return inner_->has_activation(); }
  bool has_pool_type(PoolType type) const override { return inner_->has_pool_type(type); }
  std::vector<std::shared_ptr<Layer>> inbound_layers() const override {
    return inner_->inbound_layers();
  }
  std::vector<std::shared_ptr<Layer>> inbounds() const override { return inner_->inbounds(); }
  std::vector<std::shared_ptr<Layer>> outbound_layers() const override {
    return inner_->outbound_layers();
  }
  std::vector<std::shared_ptr<Layer>> outbounds() const override { return inner_->outbounds(); }
  std::shared_ptr<Mapping> mapping() const override { return inner_->mapping(); }
  std::shared_ptr<Mapping>& mapping() override { return inner_->mapping(); }
  uint64_t macs() const override { return inner_->macs(); }

 private:
  std::shared_ptr<Layer> inner_;
  Shape dims_;
  uint32_t bits_;
};

}  // namespace morla::mote_test
