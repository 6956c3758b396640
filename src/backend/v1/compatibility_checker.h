#pragma once
// The IP v1 answers to the mapper: per-layer checks by layer type, the sequence rules, the
// multi-NP rules, and what fits an NP's buffers and weight memory.
#include <memory>

#include "contract/compatibility_checker.h"

namespace morla {
class Device;
}

namespace morla::v1 {

class CompatibilityCheckerImpl final : public CompatibilityChecker {
 public:
  // The description must outlive the checker.
  CompatibilityCheckerImpl(std::shared_ptr<Device> device, const HardwareDescription* description)
      : device_(std::move(device)), description_(description) {}

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
  std::shared_ptr<Device> device_;
  const HardwareDescription* description_;
};

}  // namespace morla::v1
