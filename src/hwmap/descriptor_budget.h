#pragma once
// The device's budget of DMA descriptors for one sequence: passes × descriptors per pass
// must stay below 255.
#include <cstdint>

#include "contract/mapping_status.h"

namespace morla {

class Layer;

inline constexpr uint32_t kDescriptorsAvailable = 254;

// Success when a × b fits the budget; else the failure "Model is too big. ..." for `layer`.
MappingStatus check_descriptor_budget(const Layer* layer, uint32_t a, uint32_t b);

// The descriptors of one pass. Counted in 32 bits so that a count past 255 is seen as
// over budget instead of wrapping to a small value; only the stored descriptor value of
// the program is taken modulo 256.
class DescriptorCounter {
 public:
  explicit DescriptorCounter(uint32_t start = 0) : count_(start) {}
  void add(uint32_t descriptors) { count_ += descriptors; }
  uint32_t count() const { return count_; }

 private:
  uint32_t count_;
};

}  // namespace morla
