#include "backend/v2/input_shift_memory.h"

#include <string>

#include "backend/v2/variable_access.h"

namespace morla::v2 {

uint32_t shift_memory_bytes(const Tensor& input_shift) {
  return (static_cast<uint32_t>(input_shift.size()) + 7) >> 3;
}

void check_input_shift_words(RuleCheck& r, const HardwareDescription& description, uint32_t words) {
  const uint32_t limit = description[HardwareDescription::input_shift_bytes];
  // Three bytes a word, in the message.
  r.fail_if(words > limit, "Input shift exceeds memory. Maximum size is " +
                               std::to_string(uint64_t{3} * limit) + " bytes. (got " +
                               std::to_string(uint64_t{3} * words) + " bytes).");
}

void check_input_shift(RuleCheck& r, const HardwareDescription& description, const Layer& layer) {
  const auto input_shift = optional_variable(layer, "input_shift");
  if (r.fail_if(!input_shift, "No variable named 'input_shift'.")) return;
  check_input_shift_words(r, description, shift_memory_bytes(*input_shift));
}

}  // namespace morla::v2
