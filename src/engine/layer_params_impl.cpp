#include "engine/layer_params_impl.h"

#include <cmath>
#include <memory>
#include <stdexcept>

#include "engine/layer_types.h"

namespace morla {
namespace engine {

namespace {

[[noreturn]] void key_not_found(const std::string& key) {
  throw std::invalid_argument("Key " + key + " not found");
}

template <typename Map>
std::vector<std::string> keys_of(const Map& entries) {
  std::vector<std::string> keys;
  keys.reserve(entries.size());
  for (const auto& entry : entries) keys.push_back(entry.first);
  return keys;
}

// The keys of the unsupervised learning, with the values taken when one is not given.
const std::map<std::string, double>& unsupervised_defaults() {
  namespace d = unsupervised_defaults;
  static const std::map<std::string, double> defaults = {
      {"initial_plasticity", d::initial_plasticity},
      {"learning_competition", d::learning_competition},
      {"min_plasticity", d::min_plasticity},
      {"num_classes", d::num_classes},
      {"num_weights", d::num_weights},
      {"plasticity_decay", d::plasticity_decay}};
  return defaults;
}

}  // namespace

int LayerParamsImpl::get(const std::string& key) const {
  const auto it = entries_.find(key);
  if (it == entries_.end()) key_not_found(key);
  return it->second;
}

std::vector<std::string> LayerParamsImpl::keys() const { return keys_of(entries_); }

double LearningParamsImpl::get(const std::string& key) const {
  const auto it = entries_.find(key);
  if (it == entries_.end()) key_not_found(key);
  return it->second;
}

std::vector<std::string> LearningParamsImpl::keys() const { return keys_of(entries_); }

std::map<std::string, int> entries_of(const LayerParams& params) {
  std::map<std::string, int> entries;
  for (const auto& key : params.keys()) entries[key] = params.get(key);
  return entries;
}

}  // namespace engine

std::unique_ptr<LayerParams> LayerParams::create(LayerType type,
                                                 const std::map<std::string, int>& entries) {
  return std::make_unique<engine::LayerParamsImpl>(type,
                                                   engine::layer_type_info(type).complete(entries));
}

std::unique_ptr<LayerParams> LayerParams::clone(const LayerParams* params) {
  if (!params) throw std::invalid_argument("Cannot clone null layer parameters.");
  return create(params->layer_type(), engine::entries_of(*params));
}

std::shared_ptr<LearningParams> LearningParams::create(
    LearningType type, const std::map<std::string, double>& entries) {
  if (type != LearningType::MorlaUnsupervised)
    throw std::invalid_argument("Unsupported learning type " +
                                std::to_string(static_cast<int>(type)) + ".");
  std::map<std::string, double> complete = engine::unsupervised_defaults();
  for (const auto& [key, value] : entries) {
    if (!complete.count(key))
      throw std::invalid_argument("Unknown key '" + key + "' for the unsupervised learning.");
    if (!std::isfinite(value))
      throw std::invalid_argument("Value of key '" + key + "' must be finite.");
    complete[key] = value;
  }
  return std::make_shared<engine::LearningParamsImpl>(type, std::move(complete));
}

std::shared_ptr<LearningParams> LearningParams::clone(const LearningParams* params) {
  if (!params) throw std::invalid_argument("Cannot clone null learning parameters.");
  std::map<std::string, double> entries;
  for (const auto& key : params->keys()) entries[key] = params->get(key);
  return std::make_shared<engine::LearningParamsImpl>(params->learning_type(), std::move(entries));
}

}  // namespace morla
