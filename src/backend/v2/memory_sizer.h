#pragma once
// The IP v2 memory sizes of a layer on one component, in bytes: input, weights and external
// memory (FNP2 weights and skip buffers). The Mote SRAMs do not exist on v2.
#include "contract/memory_sizer.h"

namespace morla::v2 {

class MemorySizerImpl final : public MemorySizer {
 public:
  // Refuse a layer type without sizes with std::invalid_argument "Invalid v2 layer type.".
  uint32_t input_memory_size(const std::shared_ptr<Layer>& layer, const hw::Component& component,
                             const std::shared_ptr<Layer>& first_layer) const override;
  uint32_t weights_memory_size(const std::shared_ptr<Layer>& layer,
                               const hw::Component& component) const override;
  uint32_t external_memory_size(const std::shared_ptr<Layer>& layer, const hw::Component& component,
                                bool is_dual_store, bool several_passes) const override;
  uint32_t fsram_size(const std::shared_ptr<Layer>&) const override { return 0; }
  uint32_t tsram_size(const std::shared_ptr<Layer>&) const override { return 0; }
  uint32_t evsram_size(const std::shared_ptr<Layer>&) const override { return 0; }
  uint32_t stsram_size(const std::shared_ptr<Layer>&) const override { return 0; }
};

}  // namespace morla::v2
