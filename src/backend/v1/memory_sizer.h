#pragma once
// The memory an IP v1 layer needs on the component it is placed on, in bytes.
#include "contract/memory_sizer.h"

namespace morla::v1 {

class MemorySizerImpl final : public MemorySizer {
 public:
  uint32_t input_memory_size(const std::shared_ptr<Layer>& layer, const hw::Component& component,
                             const std::shared_ptr<Layer>& first_layer) const override;
  uint32_t weights_memory_size(const std::shared_ptr<Layer>& layer,
                               const hw::Component& component) const override;
  uint32_t external_memory_size(const std::shared_ptr<Layer>& layer, const hw::Component& component,
                                bool is_dual_store, bool several_passes) const override;
  // IP v1 has none of these memories.
  uint32_t fsram_size(const std::shared_ptr<Layer>&) const override { return 0; }
  uint32_t tsram_size(const std::shared_ptr<Layer>&) const override { return 0; }
  uint32_t evsram_size(const std::shared_ptr<Layer>&) const override { return 0; }
  uint32_t stsram_size(const std::shared_ptr<Layer>&) const override { return 0; }
};

}  // namespace morla::v1
