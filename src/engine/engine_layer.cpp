#include "engine/engine_layer.h"

#include <algorithm>
#include <stdexcept>

#include "engine/dense_impl.h"
#include "engine/layer_params_impl.h"

namespace morla {
namespace engine {

EngineLayer::EngineLayer(const LayerTypeInfo& info, std::unique_ptr<LayerParams> params,
                         std::string name)
    : LayerImpl(std::move(params), std::move(name)), info_(info) {}

void EngineLayer::build_own_input() {
  if (!info_.own_input_shape) return;
  set_input_shapes({Shape{static_cast<uint32_t>(param("input_width")),
                          static_cast<uint32_t>(param("input_height")),
                          static_cast<uint32_t>(param("input_channels"))}});
  build();
}

Shape EngineLayer::output_dims() const {
  if (!built()) throw std::runtime_error("Layer " + name() + " is not built.");
  return output_;
}

IpVersion EngineLayer::ip_version() const {
  return info_.ip != IpVersion::none ? info_.ip : model_ip_;
}

bool EngineLayer::output_signed() const { return info_.output_signed(*this); }

std::vector<std::shared_ptr<Layer>> EngineLayer::outbound_layers() const {
  std::vector<std::shared_ptr<Layer>> out;
  for (const auto& weak : outbounds_)
    if (auto layer = weak.lock()) out.push_back(std::move(layer));
  return out;
}

void EngineLayer::set_inbounds(const std::vector<std::shared_ptr<Layer>>& inbounds) {
  const auto links_before = links();
  const auto variables_before = variable_store().tensors();
  const auto output_before = output_;
  const auto macs_before = macs_;
  const auto records_before = records_;
  try {
    LayerImpl::set_inbounds(inbounds);
    if (!info_.own_input_shape) build();
  } catch (...) {
    restore_links(links_before);
    variable_store().restore(variables_before);
    output_ = output_before;
    macs_ = macs_before;
    records_ = records_before;
    throw;
  }
  variable_store().keep_matching(variables_before);
}

void EngineLayer::add_outbound(const std::shared_ptr<Layer>& layer) { outbounds_.push_back(layer); }

void EngineLayer::remove_outbound(const Layer* layer) {
  std::erase_if(outbounds_, [&](const std::weak_ptr<Layer>& weak) {
    auto locked = weak.lock();
    return !locked || locked.get() == layer;
  });
}

void EngineLayer::compile(std::shared_ptr<LearningParams> learning) {
  if (!learning) throw std::invalid_argument("Cannot compile a layer without learning parameters.");
  if (info_.type != LayerType::FullyConnected)
    throw std::invalid_argument(std::string("A ") + info_.name +
                                " layer cannot learn: only FullyConnected layers can.");
  if (!built()) throw std::runtime_error("Layer " + name() + " is not built.");
  const Shape neurons{output_.back()};
  variable_store().create("threshold_learning", TensorType::int32, neurons,
                          Dense::Layout::RowMajor);
  variable_store().create("thswap", TensorType::int32, neurons, Dense::Layout::RowMajor);
  learning_ = std::move(learning);
}

void EngineLayer::set_output(const Shape& output, uint64_t macs) {
  output_ = output;
  macs_ = macs;
}

void EngineLayer::build() {
  const auto& shapes = input_shapes();
  for (const auto& shape : shapes)
    if (shape.size() != 3)
      throw std::invalid_argument(std::string("A ") + info_.name +
                                  " layer needs inputs of three dimensions (x, y, channels).");
  info_.build(*this);
}

std::shared_ptr<EngineLayer> create_engine_layer(const LayerParams& params, const std::string& name,
                                                 std::optional<uint64_t> variable_bytes) {
  if (name.empty()) throw std::invalid_argument("A layer name cannot be empty.");
  const auto& info = layer_type_info(params.layer_type());
  auto own = LayerParams::clone(&params);
  std::shared_ptr<EngineLayer> layer;
  switch (info.type) {
    case LayerType::Convolutional:
      layer = std::make_shared<V1WindowedLayer<Convolutional>>(info, std::move(own), name);
      break;
    case LayerType::SeparableConvolutional:
      layer = std::make_shared<V1WindowedLayer<SeparableConvolutional>>(info, std::move(own), name);
      break;
    case LayerType::InputConvolutional:
      layer = std::make_shared<V1WindowedLayer<InputConvolutional>>(info, std::move(own), name);
      break;
    case LayerType::FullyConnected:
      layer = std::make_shared<FullyConnectedLayer>(info, std::move(own), name);
      break;
    default:
      if (info.windowed)
        layer = std::make_shared<WindowedLayer>(info, std::move(own), name);
      else
        layer = std::make_shared<EngineLayer>(info, std::move(own), name);
  }
  layer->variable_store().limit_bytes(variable_bytes);
  // A layer built from a model buffer gets every variable from the buffer's bytes (the cap
  // above makes sure of it): the variables it creates meanwhile are not zero-filled first.
  if (variable_bytes)
    layer->variable_store().make_tensor = [](TensorType type, const Shape& shape,
                                             Dense::Layout layout) {
      return std::make_shared<DenseImpl>(type, shape, layout, ByteBuffer::Fill::None);
    };
  layer->build_own_input();
  return layer;
}

}  // namespace engine

std::shared_ptr<Layer> Layer::create(const LayerParams* params, const std::string& name) {
  if (!params) throw std::invalid_argument("Cannot create a layer without parameters.");
  return engine::create_engine_layer(*params, name, std::nullopt);
}

}  // namespace morla
