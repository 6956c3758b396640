#pragma once
// The NP program of a FullyConnected layer mapped on a v1 FNP: its register block and the
// weight image of its neurons (thresholds, activation steps, weight bit planes).
#include <cstdint>
#include <vector>

#include "backend/v1/pass_placement.h"
#include "backend/v1/register_block.h"
#include "engine_api/tensor.h"
#include "contract/program_record.h"

namespace morla {
class Device;
class Layer;
}  // namespace morla

namespace morla::v1 {

// The register block of the layer's first NP.
struct FnpRegisters {
  hw::Ident ident;
  RegisterBlock block;
};

// `learning` programs the learning registers from the layer's learning parameters.
FnpRegisters record_fnp_registers(const Device& device, const Layer& layer, bool learning,
                                  const std::shared_ptr<Layer>& next_pass_first, bool first_of_pass,
                                  bool last_of_pass);

// Per neuron: the 20-bit threshold (0x80000 without activation), the activation step in
// 1/16 units (FnpError when it does not fit 20 bits), two zero words, then per group of 32
// inputs one word per magnitude plane, positive weights first and, above 1 bit, negative
// weights in a second region.
std::vector<uint32_t> build_fnp_weight_image(const Dense& weights, const Dense& threshold,
                                             const Dense& act_step, int weights_bits,
                                             bool with_activation);

// The image of the layer's own weights, thresholds and activation steps.
std::vector<uint32_t> fnp_weight_image(const Layer& layer);

program::RecordPtr record_fully_connected(const Device& device, const Layer& layer,
                                          const PassPlacement& placement);

}  // namespace morla::v1
