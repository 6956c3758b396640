#pragma once
// The common part of every concrete layer: name, parameters, variables, inbound layers
// with the input shapes they imply, and the bit-width rules.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "engine_api/layer.h"
#include "engine_api/layer_params.h"
#include "engine_api/variables_impl.h"

namespace morla {

class LayerImpl : public virtual Layer {
 public:
  const std::string& name() const override { return name_; }
  // The first input shape; an empty shape before the layer is built.
  Shape input_dims() const override;
  uint32_t input_bits() const override;
  uint32_t output_bits() const override;
  const LayerParams* params() const override { return params_.get(); }
  const Variables& variables() const override { return variables_; }
  Variables& variables() override { return variables_; }
  bool has_activation_type(ActivationType type) const override;
  bool has_activation() const override;
  bool has_pool_type(PoolType type) const override;
  std::vector<std::shared_ptr<Layer>> inbound_layers() const override { return inbounds_; }
  std::vector<std::shared_ptr<Layer>> inbounds() const override { return inbounds_; }

  void set_name(const std::string& name);
  // Links the producers of this layer and takes their output shapes as input shapes.
  virtual void set_inbounds(const std::vector<std::shared_ptr<Layer>>& inbounds);
  void remove_linked_layer(const std::shared_ptr<Layer>& layer);

  // One shape per inbound layer (or the layer's own input shape for input layers).
  const std::vector<Shape>& input_shapes() const { return input_dims_; }
  bool has_high_output_bits() const { return static_cast<uint8_t>(output_bits()) >= 5; }
  std::string type_name() const { return "Layer"; }
  bool has_pooling() const;
  bool is_depthwise() const;
  bool variables_changed() const { return variables_changed_; }
  // How many values the variable store has taken since the layer was made.
  uint64_t variable_writes() const { return variable_writes_; }
  const std::vector<std::shared_ptr<Layer>>& linked_layers() const { return linked_layers_; }
  VariablesImpl& variable_store() { return variables_; }

 protected:
  LayerImpl(std::unique_ptr<LayerParams> params, std::string name);

  LayerType layer_type() const { return params_->layer_type(); }
  int param(const std::string& key) const { return params_->get(key); }
  void set_input_shapes(std::vector<Shape> shapes) { input_dims_ = std::move(shapes); }

  // What set_inbounds changes, so that a derived layer can put it back when linking fails.
  struct Links {
    std::vector<std::shared_ptr<Layer>> inbounds, linked;
    std::vector<Shape> input_dims;
  };
  Links links() const { return {inbounds_, linked_layers_, input_dims_}; }
  void restore_links(Links links);

  // Standard variable initialisers, each for a channel count n (refused when 0).
  void create_activation_variables(uint32_t n);
  void create_scale_shift(std::string prefix, uint32_t n);
  void create_value_shift(std::string name, uint32_t n);
  void create_unsigned(std::string name, uint32_t n);

 private:
  // Refuses (std::invalid_argument) weights outside the range of their type and
  // activation steps below 1/16, then marks the variables as changed and counts the write.
  void check_variable(const std::string& name, const Dense& value);

  VariablesImpl variables_;
  std::string name_;
  std::vector<Shape> input_dims_;
  std::unique_ptr<LayerParams> params_;
  bool variables_changed_ = false;
  uint64_t variable_writes_ = 0;
  std::vector<std::shared_ptr<Layer>> inbounds_;
  std::vector<std::shared_ptr<Layer>> linked_layers_;
};

}  // namespace morla
