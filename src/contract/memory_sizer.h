#pragma once
// An IP generation's memory needs of one layer on one component.
#include <cstdint>
#include <memory>

#include "contract/component.h"

namespace morla {

class Layer;

class MemorySizer {
 public:
  virtual ~MemorySizer() = default;
  // Bytes. `first_layer` is the first layer of the sequence's first pass.
  virtual uint32_t input_memory_size(const std::shared_ptr<Layer>& layer,
                                     const hw::Component& component,
                                     const std::shared_ptr<Layer>& first_layer) const = 0;
  virtual uint32_t weights_memory_size(const std::shared_ptr<Layer>& layer,
                                       const hw::Component& component) const = 0;
  virtual uint32_t external_memory_size(const std::shared_ptr<Layer>& layer,
                                        const hw::Component& component, bool is_dual_store,
                                        bool several_passes) const = 0;
  // Words of the named SRAM.
  virtual uint32_t fsram_size(const std::shared_ptr<Layer>& layer) const = 0;
  virtual uint32_t tsram_size(const std::shared_ptr<Layer>& layer) const = 0;
  virtual uint32_t evsram_size(const std::shared_ptr<Layer>& layer) const = 0;
  virtual uint32_t stsram_size(const std::shared_ptr<Layer>& layer) const = 0;
};

}  // namespace morla
