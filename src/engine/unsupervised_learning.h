#pragma once
// On-chip-style unsupervised learning of a compiled FullyConnected last layer with 1-bit
// weights. Each neuron keeps exactly num_weights connections (weights set to 1); learning
// moves connections of the winning neuron from silent inputs to active ones. The rule is
// deterministic and described in the README ("Learning rule").
//
// Per-neuron state, kept in the layer's learning variables:
//   thswap             plasticity in 1/65536 units (at most 65535), from
//                      initial_plasticity down to min_plasticity;
//   threshold_learning potential the neuron claims after learning (competition times the
//                      potential it reached, at least 1); 0 while the neuron never learned.
#include <cstdint>

#include "engine_api/layer_params.h"
#include "engine_api/tensor.h"

namespace morla::engine {

class EngineLayer;

// Refuses (std::invalid_argument) learning parameters or a layer that cannot learn: a type
// other than FullyConnected, weights of more than 1 bit, a learning type other than
// MorlaUnsupervised, missing keys or values out of range (num_weights in [1, inputs],
// num_classes in [1, units] dividing units, the plasticities, decay and competition in
// [0, 1]).
void check_learning(const EngineLayer& layer, const LearningParams& params);

// After the layer's learning variables were created: every neuron without connections gets
// num_weights of them, chosen by a fixed pseudo-random sequence of its index; every neuron
// gets the initial plasticity and no learning threshold.
void init_learning(EngineLayer& layer, const LearningParams& params);

// One learning step for one input frame of the layer. label < 0 learns without a label;
// a label of num_classes or more is ignored (the input is discarded).
void learn(EngineLayer& layer, const LearningParams& params, const Dense& input, int32_t label);

}  // namespace morla::engine
