#pragma once
// On-chip learning of a FullyConnected layer on a v1 FNP: the learning registers, the
// learning programs, and the read-back of the learned variables.
#include <cstdint>
#include <vector>

#include "backend/v1/register_block.h"
#include "contract/layer_recorder.h"

namespace morla {
class Device;
class HardwareDevice;
class Layer;
class LearningParams;
class Variables;
}  // namespace morla

namespace morla::v1 {

// Words 36-38 from the learning parameters; without them only the learning enable (word
// 36 bit 28) is written, cleared.
void record_learning_params(RegisterBlock& block, const LearningParams* params);
// Word 39 bits 0-15 and word 41 bits 0-11.
// No recorder calls it: nothing of the model gives these two fields a value.
void write_learning_words(RegisterBlock& block, uint32_t word39, uint32_t word41);

// Writes each neuron's learning fields (class, num_weights, learning threshold, thswap)
// into a 1-bit weight image of `units` neurons.
void write_learning_fields(std::vector<uint32_t>& image, const Layer& layer);

// The register block with learning on, the one with learning off, the learning image, and
// the layer's FNP weight words.
LearningRecords record_fnp_learning(const Device& device, const Layer& layer, bool first_of_pass);

// Reads the learning memory of `device` back into "weights", "threshold_learning" and
// "thswap". On an FNP3 the memory starts with two words that are not the image.
void sync_fnp_learning(HardwareDevice& device, Variables& variables, bool is_fnp3);

}  // namespace morla::v1
