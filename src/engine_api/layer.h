#pragma once
// The engine's layer interface and its mix-ins.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "core/enums.h"
#include "core/hw_type.h"
#include "core/ip_version.h"
#include "core/shape.h"

namespace morla {

class LayerParams;
class LearningParams;
class Variables;
namespace hw {
struct Component;
}

class Layer {
 public:
  // The hardware mapping the module attaches to a layer.
  struct Mapping {
    virtual ~Mapping() = default;
    // The NP components of the layer (everything but skip DMAs).
    std::shared_ptr<std::vector<hw::Component>> nps;
  };

  virtual ~Layer() = default;
  virtual const std::string& name() const = 0;
  virtual Shape input_dims() const = 0;
  virtual Shape output_dims() const = 0;
  virtual uint32_t input_bits() const = 0;   // callers use the low 8 bits
  virtual uint32_t output_bits() const = 0;  // callers use the low 8 bits
  virtual bool output_signed() const = 0;
  virtual IpVersion ip_version() const = 0;
  virtual bool is_target_component(ComponentKind kind) const = 0;
  virtual bool splittable() const = 0;
  virtual bool is_channel_wise() const = 0;
  virtual bool is_input_layer() const = 0;
  virtual const LayerParams* params() const = 0;
  virtual const LearningParams* learning_params() const = 0;
  virtual bool compiled() const = 0;
  virtual const Variables& variables() const = 0;
  virtual Variables& variables() = 0;
  virtual bool has_activation_type(ActivationType type) const = 0;
  virtual bool has_activation() const = 0;
  virtual bool has_pool_type(PoolType type) const = 0;
  virtual std::vector<std::shared_ptr<Layer>> inbound_layers() const = 0;
  virtual std::vector<std::shared_ptr<Layer>> inbounds() const = 0;
  // The main-branch consumer first.
  virtual std::vector<std::shared_ptr<Layer>> outbound_layers() const = 0;
  virtual std::vector<std::shared_ptr<Layer>> outbounds() const = 0;
  virtual std::shared_ptr<Mapping> mapping() const = 0;
  virtual std::shared_ptr<Mapping>& mapping() = 0;
  virtual uint64_t macs() const = 0;

  // Engine factory.
  static std::shared_ptr<Layer> create(const LayerParams* params, const std::string& name);

 protected:
  Layer() = default;
  Layer(const Layer&) = default;
  Layer& operator=(const Layer&) { return *this; }
};

// Engine mix-in of layers with a built convolution record.
class HasConvParams {
 public:
  virtual const uint32_t* conv_params() const = 0;

 protected:
  ~HasConvParams() = default;
};

// Engine mix-in of layers with a built pooling record.
class HasPoolParams {
 public:
  virtual const uint32_t* pool_params() const = 0;

 protected:
  ~HasPoolParams() = default;
};

}  // namespace morla
