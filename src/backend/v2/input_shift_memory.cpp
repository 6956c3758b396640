#include "backend/v2/input_shift_memory.h"

#include <string>

#include "backend/v2/variable_access.h"
#include "contract/layer_rules.h"

namespace morla::v2 {

namespace {

// The words an input shift takes and the words the memory holds.
struct ShiftFacts {
  uint32_t words, limit;
};

const Rule<ShiftFacts> kShiftMemoryRules[] = {
    // Three bytes a word, in the message.
    {[](const ShiftFacts& s) { return s.words > s.limit; },
     [](const ShiftFacts& s) {
       return "Input shift exceeds memory. Maximum size is " +
              std::to_string(uint64_t{3} * s.limit) + " bytes. (got " +
              std::to_string(uint64_t{3} * s.words) + " bytes).";
     }},
};

const Rule<const Dense*> kShiftPresentRules[] = {
    {[](const Dense* const& shift) { return shift == nullptr; },
     "No variable named 'input_shift'."},
};

}  // namespace

uint32_t shift_memory_bytes(const Tensor& input_shift) {
  return (static_cast<uint32_t>(input_shift.size()) + 7) >> 3;
}

MappingStatus check_input_shift_words(const HardwareDescription& description, const Layer& layer,
                                      uint32_t words) {
  const ShiftFacts facts{words, description[HardwareDescription::input_shift_bytes]};
  return RuleStatus(layer).every(kShiftMemoryRules, facts);
}

MappingStatus check_input_shift(const HardwareDescription& description, const Layer& layer) {
  const auto input_shift = optional_variable(layer, "input_shift");
  RuleStatus status(layer);
  if (status.every(kShiftPresentRules, input_shift.get()).failed()) return status;
  return status.merge(
      check_input_shift_words(description, layer, shift_memory_bytes(*input_shift)));
}

}  // namespace morla::v2
