#pragma once
// The stand-in engine's layer and learning parameters: sorted key/value maps.
#include <map>
#include <string>
#include <vector>

#include "engine_api/layer_params.h"

namespace morla::engine {

class LayerParamsImpl final : public LayerParams {
 public:
  // Entries already checked against the layer type's keys.
  LayerParamsImpl(LayerType type, std::map<std::string, int> entries)
      : type_(type), entries_(std::move(entries)) {}

  int get(const std::string& key) const override;
  bool has(const std::string& key) const override { return entries_.count(key) != 0; }
  std::vector<std::string> keys() const override;
  LayerType layer_type() const override { return type_; }

  const std::map<std::string, int>& entries() const { return entries_; }

 private:
  LayerType type_;
  std::map<std::string, int> entries_;
};

class LearningParamsImpl final : public LearningParams {
 public:
  LearningParamsImpl(LearningType type, std::map<std::string, double> entries)
      : type_(type), entries_(std::move(entries)) {}

  double get(const std::string& key) const override;
  std::vector<std::string> keys() const override;
  LearningType learning_type() const override { return type_; }

 private:
  LearningType type_;
  std::map<std::string, double> entries_;
};

// Every entry of any parameters, in key order.
std::map<std::string, int> entries_of(const LayerParams& params);

}  // namespace morla::engine
