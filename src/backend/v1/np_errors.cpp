#include "backend/v1/np_errors.h"

namespace morla::v1 {

std::string act_step_error(int32_t step) {
  // Compared unsigned: negative steps fail too.
  if (static_cast<uint32_t>(step) < 0x100000u) return {};
  return "act_step should be between 0 and 65535. Receives act_step " + std::to_string(step / 16) +
         ".";
}

}  // namespace morla::v1
