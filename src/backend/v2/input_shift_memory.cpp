#include "backend/v2/input_shift_memory.h"

namespace morla::v2 {

uint32_t shift_memory_bytes(const Tensor& input_shift) {
  return (static_cast<uint32_t>(input_shift.size()) + 7) >> 3;
}

}  // namespace morla::v2
