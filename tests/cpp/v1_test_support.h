#pragma once
// Small IP v1 layers and models for the v1 back-end tests.
#include <map>
#include <optional>
#include <utility>
#include <memory>
#include <string>
#include <vector>

#include "core/device_versions.h"
#include "engine_api/layer.h"
#include "engine_api/layer_params.h"
#include "engine_api/model.h"
#include "engine_api/tensor.h"
#include "engine_api/v1_layers.h"
#include "engine_api/variables.h"
#include "contract/hardware_description.h"

namespace morla::v1_test {

using Entries = std::map<std::string, int>;

inline Entries with(Entries base, const Entries& changes) {
  for (const auto& [key, value] : changes) base[key] = value;
  return base;
}

inline uint32_t word_of(const HwVersion& v) {
  return uint32_t{v.vendor_id} | uint32_t{v.product_id} << 8 | uint32_t{v.major_rev} << 16 |
         uint32_t{v.minor_rev} << 24;
}
// A v1 product that is neither Orbi_v1 nor Orbi_v2.
inline HwVersion v1_version() { return {HwVersion::kel_id, 161, 1, 0}; }
inline uint32_t v1_word() { return word_of(v1_version()); }
inline uint32_t orbi_v2_word() { return word_of(devices::Orbi_v2); }

// The description of a v1 device with 64 KiB of input and weight memory per NP.
inline HardwareDescription description(uint32_t input_bytes = 65536,
                                       uint32_t weight_bytes = 65536) {
  HardwareDescription d;
  using W = HardwareDescription;
  d[W::weight_units] = (weight_bytes / 4 * 16 * 3) / 50;
  d[W::weight_capacity] = weight_bytes * 8 / 50;
  d[W::dual_buffer_words] = input_bytes / 8;
  d[W::single_buffer_words] = input_bytes / 4;
  d[W::fnp_input_words] = input_bytes / 4;
  return d;
}

// One layer after an InputData layer of the given input, in a model that keeps both alive.
struct Built {
  std::shared_ptr<Model> model;
  std::shared_ptr<Layer> input;
  std::shared_ptr<Layer> layer;
};

inline std::shared_ptr<Layer> make_layer(LayerType type, const Entries& entries,
                                         const std::string& name) {
  auto params = LayerParams::create(type, entries);
  return Layer::create(params.get(), name);
}

inline Built after_input(LayerType type, const Entries& entries, uint32_t width, uint32_t height,
                         uint32_t channels, int input_bits = 4) {
  Built b;
  b.model = Model::create();
  b.input = make_layer(LayerType::InputData,
                       {{"input_width", static_cast<int>(width)},
                        {"input_height", static_cast<int>(height)},
                        {"input_channels", static_cast<int>(channels)},
                        {"input_bits", input_bits}},
                       "input");
  b.layer = make_layer(type, entries, "layer");
  b.model->add(b.input, {});
  b.model->add(b.layer, {b.input});
  return b;
}

// Writes int8-stored values into a variable in place, bypassing the store's range checks
// (the checks under test must see values the store would refuse).
inline void poke(const Layer& layer, const std::string& name, const std::vector<int8_t>& values) {
  int8_t* data = layer.variables().get(name)->mutable_data<int8_t>();
  for (size_t i = 0; i < values.size(); ++i) data[i] = values[i];
}

template <typename T>
void fill(const Layer& layer, const std::string& name, T value) {
  auto tensor = layer.variables().get(name);
  T* data = tensor->template mutable_data<T>();
  for (size_t i = 0; i < tensor->size(); ++i) data[i] = value;
}

}  // namespace morla::v1_test

namespace morla::v1_test {

// Parameters of another layer with some values replaced: values the stand-in engine would
// refuse to build a layer with.
class OverriddenParams final : public LayerParams {
 public:
  OverriddenParams(const LayerParams& base, Entries changes)
      : base_(base), changes_(std::move(changes)) {}
  int get(const std::string& key) const override {
    auto it = changes_.find(key);
    return it != changes_.end() ? it->second : base_.get(key);
  }
  bool has(const std::string& key) const override { return changes_.count(key) || base_.has(key); }
  std::vector<std::string> keys() const override { return base_.keys(); }
  LayerType layer_type() const override { return base_.layer_type(); }

 private:
  const LayerParams& base_;
  Entries changes_;
};

// A built engine layer seen through the back end's interface I, with some parameters (and
// optionally its input shape) replaced.
template <typename I>
class Overridden;

template <typename I>
class OverriddenBase : public I {
 public:
  OverriddenBase(std::shared_ptr<Layer> inner, Entries changes, std::optional<Shape> input = {})
      : inner_(std::move(inner)), params_(*inner_->params(), std::move(changes)), input_(input) {}

  const std::string& name() const override { return inner_->name(); }
  Shape input_dims() const override { return input_ ? *input_ : inner_->input_dims(); }
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
  const LayerParams* params() const override { return &params_; }
  const LearningParams* learning_params() const override { return inner_->learning_params(); }
  bool compiled() const override { return inner_->compiled(); }
  const Variables& variables() const override { return std::as_const(*inner_).variables(); }
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
  std::shared_ptr<Layer::Mapping> mapping() const override {
    return std::as_const(*inner_).mapping();
  }
  std::shared_ptr<Layer::Mapping>& mapping() override { return inner_->mapping(); }
  uint64_t macs() const override { return inner_->macs(); }

 protected:
  std::shared_ptr<Layer> inner_;
  OverriddenParams params_;
  std::optional<Shape> input_;
};

template <>
class Overridden<FullyConnected> final : public OverriddenBase<FullyConnected> {
 public:
  using OverriddenBase::OverriddenBase;
};

template <typename I>
class Overridden final : public OverriddenBase<I> {
 public:
  using OverriddenBase<I>::OverriddenBase;

 protected:
  const uint32_t* find_conv_record() const override {
    return dynamic_cast<const I&>(*this->inner_).conv_record();
  }
  const uint32_t* find_pool_record() const override {
    return dynamic_cast<const I&>(*this->inner_).pool_record();
  }
};

template <typename I>
std::shared_ptr<Layer> overridden(const std::shared_ptr<Layer>& layer, Entries changes,
                                  std::optional<Shape> input = {}) {
  return std::make_shared<Overridden<I>>(layer, std::move(changes), input);
}

}  // namespace morla::v1_test

#include "contract/program_record.h"
#include "record_blocks.h"

namespace morla::v1_test {

using record_test::Block;

inline std::vector<Block> blocks(const program::Record& record) {
  return record_test::blocks_of(record);
}

// The (code, field) of each block, in order.
inline std::vector<std::pair<uint32_t, uint32_t>> block_kinds(const program::Record& record) {
  std::vector<std::pair<uint32_t, uint32_t>> kinds;
  for (const auto& b : blocks(record)) kinds.emplace_back(b.code, b.field);
  return kinds;
}

inline uint32_t bits(uint32_t word, uint32_t shift, uint32_t width) {
  return (word >> shift) & (width >= 32 ? 0xFFFFFFFFu : (1u << width) - 1u);
}

}  // namespace morla::v1_test
