#include "hwmap/descriptor_budget.h"

#include <string>

namespace morla {

MappingStatus check_descriptor_budget(const Layer* layer, uint32_t a, uint32_t b) {
  // Two 32-bit factors cannot overflow a 64-bit product.
  const uint64_t needed = uint64_t{a} * b;
  if (needed <= kDescriptorsAvailable) return MappingStatus();
  return make_mapping_status(layer,
                             "Model is too big. The maximum number of descriptors is more than "
                             "allowed. " +
                                 std::to_string(needed) + " are needed but " +
                                 std::to_string(kDescriptorsAvailable) + " are available.");
}

}  // namespace morla
