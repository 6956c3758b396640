#pragma once
// The IP v2 layer checker: variable budgets, activation support, the per-type rules, and
// what fits an NP's input buffers and weight memory.
#include <cstdint>
#include <memory>
#include <vector>

#include "core/device.h"
#include "core/mesh.h"
#include "contract/compatibility_checker.h"
#include "contract/hardware_description.h"

namespace morla::v2 {

class CompatibilityCheckerImpl final : public CompatibilityChecker {
 public:
  // The description must outlive the checker.
  CompatibilityCheckerImpl(std::shared_ptr<const Device> device,
                           const HardwareDescription& description)
      : device_(std::move(device)), description_(&description) {}

  MappingStatus check_layer(const std::shared_ptr<Layer>& layer,
                            const std::shared_ptr<Layer>& inbound,
                            uint32_t hw_version) const override;
  MappingStatus check_sequence(const std::vector<std::shared_ptr<Layer>>& layers,
                               uint32_t hw_version) const override;
  MappingStatus check_np_mapping(const std::shared_ptr<Layer>& layer,
                                 const std::vector<hw::Component>& components,
                                 bool new_pass) const override;
  bool fits_single_buffer(hw::Type type, uint32_t height, uint32_t width, uint32_t channels,
                          uint32_t fifo_size, uint32_t input_bits,
                          uint32_t reserved_words) const override;
  bool fits_dual_buffer(hw::Type type, uint32_t height, uint32_t width, uint32_t channels,
                        uint32_t fifo_size, uint32_t input_bits,
                        uint32_t reserved_words) const override;
  bool fits_weights(const std::shared_ptr<Layer>& layer, uint32_t filters) const override;
  LayerGeometry layer_geometry(hw::Type type, const LayerParams& params) const override;
  bool fits_fnp3(const HardwareDescription& description,
                 const std::shared_ptr<Layer>& layer) const override;

 private:
  std::shared_ptr<const Device> device_;
  const HardwareDescription* description_;
};

// Activations other than ReLU run only on CNPs and the HRC; LUT activations need a table on
// every NP of the mesh.
MappingStatus check_activation_support(const Layer& layer, const Mesh& mesh);

// 100-bit weight containers `filters` filters of a CNP or TNP-B layer take on one NP.
uint32_t layer_weight_containers(const Layer& layer, uint32_t filters);

// 32-bit words an NP input buffer needs for a share of rows x cols x channels; throws
// std::runtime_error "Type of NP not supported." for an NP kind without such a buffer.
uint32_t np_input_buffer_words(hw::Type type, uint32_t rows, uint32_t cols, uint32_t channels,
                               uint32_t fifo_size, uint32_t bits);

}  // namespace morla::v2
