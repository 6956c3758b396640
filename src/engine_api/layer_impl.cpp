#include "engine_api/layer_impl.h"

#include <algorithm>
#include <cstdint>
#include <stdexcept>

namespace morla {

namespace {

template <typename T>
void fill(Dense& dense, T value) {
  T* data = dense.mutable_data<T>();
  std::fill(data, data + dense.size(), value);
}

struct WeightRange {
  int min;
  int max;
};

// Allowed weight values by element type; v1 int4 weights are symmetric.
WeightRange weight_range(TensorType type, bool v1) {
  switch (type) {
    case TensorType::int8: return {-128, 127};
    case TensorType::int4: return {v1 ? -7 : -8, 7};
    case TensorType::int2: return {-1, 1};
    case TensorType::bit: return {0, 1};
    default:
      throw std::invalid_argument(std::string("Unsupported tensor type for weights: ") +
                                  Tensor::type_name(type));
  }
}

void check_weights(const Dense& value, bool v1) {
  const WeightRange range = weight_range(value.type(), v1);
  // Every int8 value is a valid 8-bit weight.
  if (range.min <= INT8_MIN && range.max >= INT8_MAX) return;
  const int8_t* data = value.data<int8_t>();
  const size_t n = value.size();
  int8_t low = INT8_MAX, high = INT8_MIN;
  for (size_t i = 0; i < n; ++i) {  // branch-free: vectorised
    low = std::min(low, data[i]);
    high = std::max(high, data[i]);
  }
  if (low >= range.min && high <= range.max) return;
  for (size_t i = 0; i < n; ++i) {
    const int v = data[i];
    if (v > range.max)
      throw std::invalid_argument("Invalid value " + std::to_string(v) +
                                  ". Maximum authorized value is " + std::to_string(range.max));
    if (v < range.min)
      throw std::invalid_argument("Invalid value " + std::to_string(v) +
                                  ". Minimum authorized value is " + std::to_string(range.min));
  }
}

void check_act_step(const Dense& value) {
  const float* data = value.data<float>();
  for (size_t i = 0, n = value.size(); i < n; ++i)
    if (!(data[i] >= 0.0625f))
      throw std::invalid_argument("Unsupported act_step, it should be equal or greater than 1/16.");
}

}  // namespace

LayerImpl::LayerImpl(std::unique_ptr<LayerParams> params, std::string name)
    : name_(std::move(name)), params_(std::move(params)) {
  if (!params_) throw std::invalid_argument("Cannot create a layer without parameters.");
  variables_.on_change = [this](const std::string& var, const std::shared_ptr<Dense>& value) {
    check_variable(var, *value);
  };
}

Shape LayerImpl::input_dims() const { return input_dims_.empty() ? Shape() : input_dims_.front(); }

void LayerImpl::set_name(const std::string& name) {
  if (&name != &name_) name_ = name;
}

void LayerImpl::set_inbounds(const std::vector<std::shared_ptr<Layer>>& inbounds) {
  inbounds_ = inbounds;
  linked_layers_.clear();
  for (const auto& inbound : inbounds_)
    if (!inbound) throw std::invalid_argument("Cannot link a layer to a null inbound layer.");
  if (is_input_layer()) {
    const bool quantizer_only =
        inbounds_.empty() || (inbounds_.size() == 1 && inbounds_[0]->params() &&
                              inbounds_[0]->params()->layer_type() == LayerType::Quantizer);
    if (!quantizer_only)
      throw std::runtime_error("Input layers cannot have inbound layers other than a Quantizer.");
  } else if (layer_type() != LayerType::Quantizer) {
    if (inbounds_.empty())
      throw std::invalid_argument("Only input layers or Quantizer can be added on an empty model.");
    input_dims_.clear();
    for (const auto& inbound : inbounds_) input_dims_.push_back(inbound->output_dims());
  }
  for (size_t i = 0; i < inbounds_.size(); ++i) {
    if (input_dims_.empty()) throw std::runtime_error("Cannot get input size before it is set.");
    if (i >= input_dims_.size() || inbounds_[i]->output_dims() != input_dims_[i])
      throw std::runtime_error("Input dimensions incompatible with previous layer.");
  }
}

void LayerImpl::restore_links(Links links) {
  inbounds_ = std::move(links.inbounds);
  linked_layers_ = std::move(links.linked);
  input_dims_ = std::move(links.input_dims);
}

void LayerImpl::remove_linked_layer(const std::shared_ptr<Layer>& layer) {
  std::erase_if(linked_layers_, [&](const std::shared_ptr<Layer>& l) { return l == layer; });
}

uint32_t LayerImpl::input_bits() const {
  if (!inbounds_.empty()) {
    uint8_t bits = 0;
    for (const auto& inbound : inbounds_)
      bits = std::max(bits, static_cast<uint8_t>(inbound->output_bits()));
    return bits;
  }
  switch (layer_type()) {
    case LayerType::InputData: return static_cast<uint32_t>(param("input_bits"));
    case LayerType::InputConvolutional:
    case LayerType::InputConv2D: return 8;
    default: throw std::runtime_error("Layer must be built to get its input bits.");
  }
}

uint32_t LayerImpl::output_bits() const {
  if (layer_type() == LayerType::Dequantizer) return 0;
  if (params_->has("output_bits")) return static_cast<uint32_t>(param("output_bits"));
  if (params_->has("act_bits"))
    return param("activation") == 0 ? 32u : static_cast<uint32_t>(param("act_bits"));
  if (!inbounds_.empty()) return input_bits();
  if (params_->has("input_bits")) return static_cast<uint32_t>(param("input_bits"));
  throw std::runtime_error("Layer must be built to get its outputs bits.");
}

bool LayerImpl::has_activation() const {
  return params_->has("activation") && param("activation") != 0;
}

bool LayerImpl::has_activation_type(ActivationType type) const {
  return params_->has("activation") && param("activation") == static_cast<int>(type);
}

bool LayerImpl::has_pooling() const { return params_->has("pool_type") && param("pool_type") != 0; }

bool LayerImpl::has_pool_type(PoolType type) const {
  return params_->has("pool_type") && param("pool_type") == static_cast<int>(type);
}

bool LayerImpl::is_depthwise() const {
  return (params_->has("kernel_size") || params_->has("fifo_size")) && !params_->has("filters");
}

void LayerImpl::check_variable(const std::string& name, const Dense& value) {
  if (name == "act_step") check_act_step(value);
  if (name == "weights" || name == "weights_pw")
    check_weights(value, ip_version() == IpVersion::v1);
  variables_changed_ = true;
  ++variable_writes_;
}

void LayerImpl::create_activation_variables(uint32_t n) {
  const Shape shape{n};
  if (ip_version() == IpVersion::v1) {
    variables_.create("threshold", TensorType::int32, shape, Dense::Layout::RowMajor);
    fill(*variables_.create("act_step", TensorType::float32, shape, Dense::Layout::RowMajor), 1.0f);
    return;
  }
  const int activation = params_->has("activation") ? param("activation") : 0;
  if (activation == static_cast<int>(ActivationType::LUT)) {
    create_scale_shift("activation", n);
    auto lut =
        variables_.create("lut_values", TensorType::int32, Shape{2048}, Dense::Layout::RowMajor);
    int32_t* entries = lut->mutable_data<int32_t>();
    for (int32_t i = 0; i < 2048; ++i) entries[i] = i - 1024;
  } else if (activation == static_cast<int>(ActivationType::ReLU)) {
    fill<uint8_t>(
        *variables_.create("max_value", TensorType::uint8, shape, Dense::Layout::RowMajor), 127);
    fill<uint8_t>(
        *variables_.create("max_value_shift", TensorType::uint8, shape, Dense::Layout::RowMajor),
        31);
  }
}

void LayerImpl::create_scale_shift(std::string prefix, uint32_t n) {
  const Shape shape{n};
  fill<uint8_t>(
      *variables_.create(prefix + "_scales", TensorType::uint8, shape, Dense::Layout::RowMajor), 1);
  variables_.create(prefix + "_shift", TensorType::int8, shape, Dense::Layout::RowMajor);
}

void LayerImpl::create_value_shift(std::string name, uint32_t n) {
  const Shape shape{n};
  variables_.create(name, TensorType::int8, shape, Dense::Layout::RowMajor);
  variables_.create(name + "_shift", TensorType::uint8, shape, Dense::Layout::RowMajor);
}

void LayerImpl::create_unsigned(std::string name, uint32_t n) {
  variables_.create(name, TensorType::uint8, Shape{n}, Dense::Layout::RowMajor);
}

}  // namespace morla
