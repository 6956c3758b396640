#pragma once
// Small v2 models, devices and tensors for the v2 back-end tests.
#include <cstdint>
#include <algorithm>
#include <map>
#include <stdexcept>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "engine_api/layer.h"
#include "engine_api/layer_impl.h"
#include "engine_api/layer_params.h"
#include "engine_api/model.h"
#include "engine_api/tensor.h"
#include "engine_api/variables.h"
#include "core/mesh.h"
#include "core/virtual_device.h"
#include "contract/component.h"
#include "contract/graph_utils.h"
#include "contract/hardware_description.h"
#include "contract/program_record.h"
#include "record_blocks.h"

namespace morla::v2test {

using Params = std::map<std::string, int>;

// A model built layer by layer, starting from an InputData layer "in".
class V2Model {
 public:
  explicit V2Model(uint32_t width = 8, uint32_t height = 8, uint32_t channels = 4,
                   int input_bits = 8) {
    add("in", LayerType::InputData,
        {{"input_width", static_cast<int>(width)},
         {"input_height", static_cast<int>(height)},
         {"input_channels", static_cast<int>(channels)},
         {"input_bits", input_bits}},
        {});
  }

  LayerPtr add(const std::string& name, LayerType type, const Params& params,
               const std::vector<std::string>& inbounds) {
    auto p = LayerParams::create(type, params);
    auto layer = Layer::create(p.get(), name);
    LayerList links;
    for (const auto& n : inbounds) links.push_back(model->get_layer(n));
    model->add(layer, links);
    return layer;
  }
  // A 3x3 Conv2D with 4 filters, 8-bit weights, Same padding and ReLU, then `extra`.
  LayerPtr conv(const std::string& name, const std::vector<std::string>& inbounds,
                Params extra = {}) {
    Params p{{"kernel_size", 3}, {"filters", 4}};
    for (const auto& [k, v] : extra) p[k] = v;
    return add(name, LayerType::Conv2D, p, inbounds);
  }
  LayerPtr operator[](const std::string& name) const { return model->get_layer(name); }

  std::unique_ptr<Model> model = Model::create();
};

// Variables of another store with some names hidden.
class HidingVariables final : public Variables {
 public:
  HidingVariables(Variables& inner, std::vector<std::string> hidden)
      : inner_(inner), hidden_(std::move(hidden)) {}
  std::vector<std::string> names() const override {
    std::vector<std::string> out;
    for (const auto& n : inner_.names())
      if (has(n)) out.push_back(n);
    return out;
  }
  void set(const std::string& name, std::shared_ptr<Dense> value) override {
    inner_.set(name, value);
  }
  std::shared_ptr<Dense> get(const std::string& name) const override {
    if (!has(name)) throw std::invalid_argument("No variable named '" + name + "'.");
    return inner_.get(name);
  }
  bool has(const std::string& name) const override {
    return inner_.has(name) && std::find(hidden_.begin(), hidden_.end(), name) == hidden_.end();
  }

 private:
  Variables& inner_;
  std::vector<std::string> hidden_;
};

// A layer that answers like `inner` (records included) but with other inbound layers, which
// the layer interface allows to hold empty entries, and without some variables.
class LayerView final : public Layer, public HasConvParams, public HasPoolParams {
 public:
  LayerView(LayerPtr inner, LayerList inbounds, std::vector<std::string> hidden = {})
      : inner_(std::move(inner)),
        inbounds_(std::move(inbounds)),
        variables_(inner_->variables(), std::move(hidden)) {}
  // The layer's own inbounds, without some variables.
  static std::shared_ptr<LayerView> without(LayerPtr inner, std::vector<std::string> hidden) {
    LayerList inbounds = inner->inbounds();
    return std::make_shared<LayerView>(std::move(inner), std::move(inbounds), std::move(hidden));
  }
  const std::string& name() const override { return inner_->name(); }
  Shape input_dims() const override { return inner_->input_dims(); }
  Shape output_dims() const override { return inner_->output_dims(); }
  uint32_t input_bits() const override { return inner_->input_bits(); }
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
  const Variables& variables() const override { return variables_; }
  Variables& variables() override { return variables_; }
  bool has_activation_type(ActivationType t) const override {
    return inner_->has_activation_type(t);
  }
  bool has_activation() const override { return inner_->has_activation(); }
  bool has_pool_type(PoolType t) const override { return inner_->has_pool_type(t); }
  LayerList inbound_layers() const override { return inbounds_; }
  LayerList inbounds() const override { return inbounds_; }
  LayerList outbound_layers() const override { return inner_->outbound_layers(); }
  LayerList outbounds() const override { return inner_->outbounds(); }
  std::shared_ptr<Mapping> mapping() const override { return std::as_const(*inner_).mapping(); }
  std::shared_ptr<Mapping>& mapping() override { return inner_->mapping(); }
  uint64_t macs() const override { return inner_->macs(); }
  const uint32_t* conv_params() const override {
    const auto* conv = dynamic_cast<const HasConvParams*>(inner_.get());
    return conv ? conv->conv_params() : nullptr;
  }
  const uint32_t* pool_params() const override {
    const auto* pool = dynamic_cast<const HasPoolParams*>(inner_.get());
    return pool ? pool->pool_params() : nullptr;
  }

 private:
  LayerPtr inner_;
  LayerList inbounds_;
  HidingVariables variables_;
};

// Replaces (or adds) a layer variable with a zero-filled tensor of another shape.
inline std::shared_ptr<Dense> replace_variable(Layer& layer, const std::string& name,
                                               TensorType type, const Shape& shape) {
  return dynamic_cast<LayerImpl&>(layer).variable_store().create(name, type, shape,
                                                                 Dense::Layout::RowMajor);
}

template <typename T>
void fill_values(Dense& tensor, const std::vector<T>& values) {
  T* data = tensor.mutable_data<T>();
  for (size_t i = 0; i < values.size(); ++i) data[i] = values[i];
}

inline std::shared_ptr<Dense> make_tensor(TensorType type, const Shape& shape) {
  return std::shared_ptr<Dense>(Dense::create(type, shape, Dense::Layout::RowMajor));
}

// A component at (col, row, id, channel) without a split part.
inline hw::Component component(hw::Type type, uint8_t col, uint8_t row = 1, uint8_t id = 0,
                               uint8_t channel = 0) {
  hw::Component c;
  c.type = type;
  c.ident = hw::Ident{col, row, id, channel};
  return c;
}

// An NP taking filters first .. first + filters - 1 of the whole `input`.
inline hw::Component np_part(hw::Type type, uint8_t col, uint8_t id, uint32_t first,
                             uint32_t filters, const Shape& input) {
  hw::Component c = component(type, col, 1, id);
  hw::NpBlock part;
  part.start_neuron = first;
  part.filters = filters;
  part.spatial_partition = NpSpace{0, 0, input};
  part.input_window = NpSpace{0, 0, input};
  c.np_block = part;
  return c;
}

// A v2 mesh of CNPs in one row, columns 1..n, two NPs per column.
inline Mesh v2_mesh(uint32_t columns = 2, bool luts = true) {
  std::vector<np::Info> nps;
  for (uint8_t col = 1; col <= columns; ++col)
    for (uint8_t id = 0; id < 2; ++id)
      nps.push_back(np::Info{hw::Ident{col, 1, id, 0}, {hw::Type::CNP1, hw::Type::CNP2}, luts});
  return Mesh(IpVersion::v2, hw::Ident{0, 1, 0, 0}, hw::Ident{0, 1, 1, 0}, std::nullopt, nps, {});
}

inline HwVersion v2_version() { return HwVersion{HwVersion::kel_id, 0xA2, 1, 0}; }

inline HardwareDescription v2_description(const Mesh& mesh = v2_mesh()) {
  return describe_hardware(0xA2, mesh);
}

using record_test::Block;
using record_test::blocks_of;

// Bits low..high of a word.
inline uint32_t bits(uint32_t word, uint32_t low, uint32_t high) {
  return (word >> low) & ((high - low == 31) ? 0xFFFFFFFFu : ((1u << (high - low + 1)) - 1));
}

}  // namespace morla::v2test
