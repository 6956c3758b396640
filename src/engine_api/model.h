#pragma once
// The engine's model interface.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "engine_api/tensor.h"
#include "core/ip_version.h"
#include "core/owned_bytes.h"
#include "core/shape.h"
#include "core/shared_bytes.h"

namespace morla {

class Device;
class Layer;
class LearningParams;
class MapConstraints;
class Sequence;

class Model {
 public:
  virtual ~Model() = default;
  virtual void add(std::shared_ptr<Layer> layer, std::vector<std::shared_ptr<Layer>> inbounds) = 0;
  virtual void pop_layer() = 0;
  // The engine's own buffer, handed out without a copy.
  virtual SharedBytes serialize() const = 0;
  virtual void compile(std::shared_ptr<LearningParams> learning) = 0;
  virtual std::shared_ptr<Tensor> fit(std::shared_ptr<Dense> inputs,
                                      const std::vector<int32_t>& labels, uint32_t batch_size) = 0;
  virtual std::shared_ptr<Tensor> forward(std::shared_ptr<Dense> inputs, uint32_t batch_size) = 0;
  virtual std::shared_ptr<Tensor> predict(std::shared_ptr<Dense> inputs, uint32_t batch_size) = 0;
  virtual void map(std::shared_ptr<Device> device, bool hw_only,
                   std::shared_ptr<MapConstraints> constraints) = 0;
  // Null when absent.
  virtual std::shared_ptr<Layer> get_layer(const std::string& name) const = 0;
  virtual std::shared_ptr<Layer> get_layer(size_t index) const = 0;
  virtual const std::vector<std::shared_ptr<Layer>>& layers() const = 0;
  // Null when the model has no learning.
  virtual std::shared_ptr<LearningParams> learning() const = 0;
  virtual Shape input_shape() const = 0;
  virtual Shape output_shape() const = 0;
  virtual size_t layer_count() const = 0;
  virtual uint64_t macs() const = 0;
  virtual IpVersion ip_version() const = 0;
  virtual const std::vector<std::shared_ptr<Sequence>>& sequences() const = 0;
  virtual std::shared_ptr<Device> device() const = 0;

  // Engine factories.
  static std::unique_ptr<Model> create();
  static std::unique_ptr<Model> from_buffer(const char* data, size_t size);
  // The same from bytes the engine keeps: the model's variables are built over them
  // without a copy.
  static std::unique_ptr<Model> from_buffer(OwnedBytes bytes);

 protected:
  Model() = default;
  Model(const Model&) = default;
  Model& operator=(const Model&) { return *this; }
};

}  // namespace morla
