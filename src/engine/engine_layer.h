#pragma once
// The stand-in engine's layers: one class for every layer type, driven by the type's
// description (layer_types.h), and its windowed form with convolution and pooling records.
#include <memory>
#include <optional>
#include <utility>
#include <string>
#include <vector>

#include "engine_api/layer_impl.h"
#include "engine_api/model.h"
#include "engine_api/v1_layers.h"
#include "engine/layer_types.h"
#include "engine/window_record.h"

namespace morla::engine {

class EngineLayer : public LayerImpl {
 public:
  EngineLayer(const LayerTypeInfo& info, std::unique_ptr<LayerParams> params, std::string name);

  Shape output_dims() const override;
  bool output_signed() const override;
  IpVersion ip_version() const override;
  bool is_target_component(ComponentKind kind) const override { return kind == info_.target; }
  bool splittable() const override { return info_.splittable; }
  bool is_channel_wise() const override { return info_.channel_wise; }
  bool is_input_layer() const override { return info_.input_layer; }
  const LearningParams* learning_params() const override { return learning_.get(); }
  bool compiled() const override { return learning_ != nullptr; }
  std::vector<std::shared_ptr<Layer>> outbound_layers() const override;
  std::vector<std::shared_ptr<Layer>> outbounds() const override { return outbound_layers(); }
  std::shared_ptr<Mapping> mapping() const override { return mapping_; }
  std::shared_ptr<Mapping>& mapping() override { return mapping_; }
  uint64_t macs() const override { return macs_; }

  // Links the inbound layers, then builds the layer for their output shapes. Variables
  // that the new build makes again with the same type and shape keep their values; a
  // failure leaves the layer as it was (links, shapes, variables, records).
  void set_inbounds(const std::vector<std::shared_ptr<Layer>>& inbounds) override;

  // The model the layer is in (null when in none): a layer belongs to one model at a time.
  const Model* owner() const { return owner_; }
  void set_owner(const Model* owner) { owner_ = owner; }

  // Model links: consumers are kept weakly, in the order they were added.
  void add_outbound(const std::shared_ptr<Layer>& layer);
  void remove_outbound(const Layer* layer);
  // The generation of the model, taken by the types shared by every generation.
  void set_model_ip(IpVersion ip) { model_ip_ = ip; }
  // Prepares the layer for on-chip learning; refused for layers that cannot learn.
  void compile(std::shared_ptr<LearningParams> learning);

  // Builds a layer whose input shape is in its own keys; others build when linked.
  void build_own_input();

  const LayerTypeInfo& info() const { return info_; }
  bool built() const { return output_.size() != 0; }

  // Used by the builders of the type table.
  using LayerImpl::create_activation_variables;
  using LayerImpl::create_scale_shift;
  using LayerImpl::create_unsigned;
  using LayerImpl::create_value_shift;
  using LayerImpl::param;
  void set_output(const Shape& output, uint64_t macs);

 protected:
  // The convolution and pooling rows of a windowed layer; none until it is built.
  std::optional<std::pair<RecordRow, RecordRow>> records_;

 private:
  void build();

  const LayerTypeInfo& info_;
  Shape output_;
  uint64_t macs_ = 0;
  IpVersion model_ip_ = IpVersion::none;
  std::vector<std::weak_ptr<Layer>> outbounds_;
  std::shared_ptr<Mapping> mapping_;
  std::shared_ptr<LearningParams> learning_;
  const Model* owner_ = nullptr;
};

// Layer::create with a cap on the bytes its variables may take (none: no cap), so that a
// layer read from a buffer is refused before it allocates more than the buffer holds.
std::shared_ptr<EngineLayer> create_engine_layer(const LayerParams& params, const std::string& name,
                                                 std::optional<uint64_t> variable_bytes);

class WindowedLayer : public EngineLayer, public HasConvParams, public HasPoolParams {
 public:
  using EngineLayer::EngineLayer;

  // Null until the layer is built.
  const uint32_t* conv_params() const override {
    return records_ ? records_->first.data() : nullptr;
  }
  const uint32_t* pool_params() const override {
    return records_ ? records_->second.data() : nullptr;
  }

  void set_record(const WindowRecord& record) {
    records_.emplace(record.conv_row(), record.pool_row());
  }
  // None until the layer is built.
  std::optional<WindowRecord> record() const {
    if (!records_) return std::nullopt;
    return WindowRecord::decode(records_->first.data(), records_->second.data());
  }
};

// The IP v1 windowed types, which the back ends reach through their core declarations.
template <typename V1Type>
class V1WindowedLayer final : public WindowedLayer, public V1Type {
 public:
  using WindowedLayer::WindowedLayer;

 protected:
  const uint32_t* find_conv_record() const override { return conv_params(); }
  const uint32_t* find_pool_record() const override { return pool_params(); }
};

class FullyConnectedLayer final : public EngineLayer, public FullyConnected {
 public:
  using EngineLayer::EngineLayer;

  bool compiled() const override { return EngineLayer::compiled(); }
};

}  // namespace morla::engine
