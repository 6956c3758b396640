#pragma once
// The engine's integer layer parameters and real learning parameters, by key.
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "core/enums.h"

namespace morla {

class LayerParams {
 public:
  virtual ~LayerParams() = default;
  // Throws std::invalid_argument for a key the parameters do not hold.
  virtual int get(const std::string& key) const = 0;
  virtual bool has(const std::string& key) const = 0;
  virtual std::vector<std::string> keys() const = 0;
  virtual LayerType layer_type() const = 0;

  // "NoActivation", "ReLU", "LUT", "Unknown" for any other value.
  static std::string as_name(ActivationType activation);

  // Engine factories.
  static std::unique_ptr<LayerParams> create(LayerType type,
                                             const std::map<std::string, int>& entries);
  static std::unique_ptr<LayerParams> clone(const LayerParams* params);

 protected:
  LayerParams() = default;
  LayerParams(const LayerParams&) = default;
  LayerParams& operator=(const LayerParams&) { return *this; }
};

// The values the unsupervised learning takes for keys it is not given.
namespace unsupervised_defaults {
inline constexpr uint32_t num_weights = 0;
inline constexpr uint32_t num_classes = 1;
inline constexpr double initial_plasticity = 1.0;
inline constexpr double learning_competition = 0.0;
inline constexpr double min_plasticity = static_cast<double>(0.1f);
inline constexpr double plasticity_decay = 0.25;
}  // namespace unsupervised_defaults

class LearningParams {
 public:
  virtual ~LearningParams() = default;
  // Throws std::invalid_argument for a key the parameters do not hold.
  virtual double get(const std::string& key) const = 0;
  virtual std::vector<std::string> keys() const = 0;
  virtual LearningType learning_type() const = 0;

  // Engine factories.
  static std::shared_ptr<LearningParams> create(LearningType type,
                                                const std::map<std::string, double>& entries);
  static std::shared_ptr<LearningParams> clone(const LearningParams* params);

 protected:
  LearningParams() = default;
  LearningParams(const LearningParams&) = default;
  LearningParams& operator=(const LearningParams&) { return *this; }
};

}  // namespace morla
