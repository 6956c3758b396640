#include "engine/unsupervised_learning.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <string>
#include <vector>

#include "engine/engine_layer.h"
#include "engine/layer_arithmetic.h"

namespace morla::engine {

namespace {

// The learning variables keep the ranges of the device's learning memory (thswap 16 bits,
// threshold_learning 20 bits, never negative), so that a compiled layer records as it is.
constexpr double kPlasticityOne = 65536.0;
constexpr int32_t kMaxPlasticity = 0xFFFF;
// A neuron's claim is at least 1 once it learned, so 0 (which the chip's learning memory
// holds for a fresh neuron: its field is not signed) means never learned.
constexpr int32_t kNeverLearned = 0;

int32_t plasticity_units(double plasticity) {
  return static_cast<int32_t>(
      std::min<long>(std::lround(plasticity * kPlasticityOne), kMaxPlasticity));
}

struct Settings {
  uint32_t num_weights, num_classes;
  double initial_plasticity, min_plasticity, decay, competition;
};

double in_unit_range(const LearningParams& params, const char* key) {
  const double value = params.get(key);
  if (!(value >= 0.0 && value <= 1.0))
    throw std::invalid_argument(std::string("Learning parameter '") + key +
                                "' must be in [0, 1], got " + std::to_string(value) + ".");
  return value;
}

uint32_t whole_in(const LearningParams& params, const char* key, uint32_t low, uint32_t high) {
  const double value = params.get(key);
  if (!(value >= low && value <= high) || value != std::floor(value))
    throw std::invalid_argument(std::string("Learning parameter '") + key +
                                "' must be a whole number in [" + std::to_string(low) + ", " +
                                std::to_string(high) + "], got " + std::to_string(value) + ".");
  return static_cast<uint32_t>(value);
}

uint32_t layer_inputs(const EngineLayer& layer) {
  return static_cast<uint32_t>(layer.input_dims().element_count());
}

uint32_t layer_units(const EngineLayer& layer) { return layer.output_dims().back(); }

Settings settings_of(const EngineLayer& layer, const LearningParams& params) {
  if (params.learning_type() != LearningType::MorlaUnsupervised)
    throw std::invalid_argument("Only MorlaUnsupervised learning is supported.");
  const uint32_t units = layer_units(layer);
  Settings s{};
  s.num_weights = whole_in(params, "num_weights", 1, layer_inputs(layer));
  s.num_classes = whole_in(params, "num_classes", 1, units);
  if (units % s.num_classes != 0)
    throw std::invalid_argument("The " + std::to_string(units) +
                                " units of the learning layer cannot be shared among " +
                                std::to_string(s.num_classes) + " classes.");
  s.initial_plasticity = in_unit_range(params, "initial_plasticity");
  s.min_plasticity = in_unit_range(params, "min_plasticity");
  s.decay = in_unit_range(params, "plasticity_decay");
  s.competition = in_unit_range(params, "learning_competition");
  return s;
}

// A small fixed pseudo-random sequence (xorshift32), so that learning is reproducible.
class Sequence32 {
 public:
  explicit Sequence32(uint32_t seed) : state_(seed ? seed : 0x9E3779B9u) {}
  uint32_t next() {
    state_ ^= state_ << 13;
    state_ ^= state_ >> 17;
    state_ ^= state_ << 5;
    return state_;
  }
  // Puts `count` pseudo-randomly chosen elements at the front of `items`.
  template <typename T>
  void choose(std::vector<T>& items, size_t count) {
    for (size_t i = 0; i < count && i < items.size(); ++i)
      std::swap(items[i], items[i + next() % (items.size() - i)]);
  }

 private:
  uint32_t state_;
};

// The learning state of the layer: weights (units, inputs) in layout 1, so the connection of
// input k to neuron f is byte k * units + f.
struct LearningState {
  int8_t* weights;
  int32_t* plasticity;
  int32_t* claimed;
  uint32_t units, inputs;

  explicit LearningState(EngineLayer& layer)
      : weights(layer.variable_store().get("weights")->mutable_data<int8_t>()),
        plasticity(layer.variable_store().get("thswap")->mutable_data<int32_t>()),
        claimed(layer.variable_store().get("threshold_learning")->mutable_data<int32_t>()),
        units(layer_units(layer)),
        inputs(layer_inputs(layer)) {
    if (layer.variable_store().get("weights")->layout() != Dense::Layout::ColMajor)
      throw std::runtime_error("The learning layer's weights must be stored in layout 1.");
  }
  int8_t& w(uint32_t k, uint32_t f) const { return weights[size_t{k} * units + f]; }
};

}  // namespace

void check_learning(const EngineLayer& layer, const LearningParams& params) {
  if (layer.info().type != LayerType::FullyConnected)
    throw std::invalid_argument(std::string("A ") + layer.info().name +
                                " layer cannot learn: only FullyConnected layers can.");
  if (layer.params()->get("weights_bits") != 1)
    throw std::invalid_argument("Learning needs 1-bit weights on the last layer.");
  settings_of(layer, params);
}

void init_learning(EngineLayer& layer, const LearningParams& params) {
  const Settings s = settings_of(layer, params);
  LearningState state(layer);
  for (uint32_t f = 0; f < state.units; ++f) {
    state.plasticity[f] = plasticity_units(s.initial_plasticity);
    state.claimed[f] = kNeverLearned;
    bool connected = false;
    for (uint32_t k = 0; k < state.inputs && !connected; ++k) connected = state.w(k, f) != 0;
    if (connected) continue;
    std::vector<uint32_t> order(state.inputs);
    for (uint32_t k = 0; k < state.inputs; ++k) order[k] = k;
    Sequence32 sequence(0x9E3779B9u * (f + 1));
    sequence.choose(order, s.num_weights);
    for (uint32_t i = 0; i < s.num_weights; ++i) state.w(order[i], f) = 1;
  }
}

void learn(EngineLayer& layer, const LearningParams& params, const Dense& input, int32_t label) {
  const Settings s = settings_of(layer, params);
  LearningState state(layer);
  if (input.size() != state.inputs)
    throw std::runtime_error("The learning layer received " + std::to_string(input.size()) +
                             " inputs instead of " + std::to_string(state.inputs) + ".");
  if (label >= static_cast<int64_t>(s.num_classes)) return;
  const uint32_t per_class = state.units / s.num_classes;
  const uint32_t first = label < 0 ? 0 : static_cast<uint32_t>(label) * per_class;
  const uint32_t end = label < 0 ? state.units : first + per_class;

  const Frame values = convert_frame(input, TensorType::int32);
  const int32_t* x = values->data<int32_t>();
  std::vector<uint32_t> active;
  for (uint32_t k = 0; k < state.inputs; ++k)
    if (x[k] > 0) active.push_back(k);

  // The candidate with the highest potential wins (the lowest index on ties), unless its
  // potential is below what it claimed when it learned and a candidate never learned: then
  // that fresh neuron is recruited.
  uint32_t winner = first;
  int64_t best = -1;
  std::vector<int64_t> potentials(state.units, 0);
  for (uint32_t f = first; f < end; ++f) {
    for (uint32_t k : active) potentials[f] += state.w(k, f);
    if (potentials[f] > best) best = potentials[f], winner = f;
  }
  if (state.claimed[winner] != kNeverLearned && best < state.claimed[winner])
    for (uint32_t f = first; f < end; ++f)
      if (state.claimed[f] == kNeverLearned) {
        winner = f;
        break;
      }

  // Swap connections from silent inputs to active ones: plasticity times the missing
  // potential, rounded up, at most what the input allows.
  std::vector<uint32_t> to_connect, to_release;
  for (uint32_t k = 0; k < state.inputs; ++k) {
    const bool connected = state.w(k, winner) != 0;
    if (x[k] > 0 && !connected) to_connect.push_back(k);
    if (x[k] <= 0 && connected) to_release.push_back(k);
  }
  const int64_t potential =
      static_cast<int64_t>(active.size()) - static_cast<int64_t>(to_connect.size());
  const int64_t reachable = std::min<int64_t>(s.num_weights, static_cast<int64_t>(active.size()));
  const double plasticity = state.plasticity[winner] / kPlasticityOne;
  const auto wanted = static_cast<size_t>(
      std::max<double>(0.0, std::ceil(plasticity * double(reachable - potential))));
  const size_t swaps = std::min({wanted, to_connect.size(), to_release.size()});
  Sequence32 sequence(static_cast<uint32_t>(
      0x85EBCA6Bu * (winner + 1) ^ static_cast<uint32_t>(potential) << 16 ^ active.size()));
  sequence.choose(to_connect, swaps);
  sequence.choose(to_release, swaps);
  for (size_t i = 0; i < swaps; ++i) {
    state.w(to_release[i], winner) = 0;
    state.w(to_connect[i], winner) = 1;
  }

  const int64_t reached = potential + static_cast<int64_t>(swaps);
  state.claimed[winner] =
      std::max<int32_t>(1, static_cast<int32_t>(std::lround(s.competition * double(reached))));
  const double decayed = s.min_plasticity + (plasticity - s.min_plasticity) * (1.0 - s.decay);
  state.plasticity[winner] =
      plasticity_units(std::max(decayed, std::min(plasticity, s.min_plasticity)));
}

}  // namespace morla::engine
