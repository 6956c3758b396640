#include "backend/v2/merge_checks.h"

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "backend/v2/rule_check.h"
#include "backend/v2/variable_access.h"

namespace morla::v2 {

namespace {

// An Add's input shifts may differ by at most 15; the merged shift lies in -4 .. 3.
constexpr int kMaxShiftDifference = 15;
constexpr int kMinMergedShift = -4;
constexpr int kMaxMergedShift = 3;

bool followed_by_cnp(const Layer& layer) {
  const auto outbounds = layer.outbounds();
  return std::any_of(outbounds.begin(), outbounds.end(), [](const std::shared_ptr<Layer>& o) {
    return o && o->is_target_component(ComponentKind::CNP);
  });
}

bool inbounds_are_conv_or_merge(const Layer& layer) {
  for (const auto& in : layer.inbounds()) {
    if (!in) continue;  // the layer interface allows empty entries
    if (!in->is_target_component(ComponentKind::CNP) &&
        !in->is_target_component(ComponentKind::SKIP_DMA))
      return false;
  }
  return true;
}

bool has_duplicate_inbound(const Layer& layer) {
  const auto inbounds = layer.inbounds();
  for (size_t i = 0; i < inbounds.size(); ++i)
    for (size_t j = i + 1; j < inbounds.size(); ++j)
      if (inbounds[i] && inbounds[i] == inbounds[j]) return true;
  return false;
}

// Per channel: the difference of the two input shifts and the merged output shift.
MappingStatus check_add_shifts(const Layer& layer) {
  RuleCheck r(layer);
  const auto a = optional_variable(layer, "a_shift");
  const auto b = optional_variable(layer, "b_shift");
  const auto o = optional_variable(layer, "output_shift");
  for (const auto& [name, tensor] : {std::pair{"a_shift", a}, {"b_shift", b}, {"output_shift", o}})
    if (!tensor) r.fail_if(true, std::string("No variable named '") + name + "'.");
  if (!r.ok()) return r.status();
  const size_t channels = a->shape().size() == 0 ? 0 : a->shape()[0];
  for (size_t i = 0; i < channels; ++i) {
    const int av = a->get<uint8_t>(i);
    const int bv = b->get<uint8_t>(i);
    const int ov = o->get<int8_t>(i);
    r.fail_if(std::abs(av - bv) > kMaxShiftDifference,
              "This model cannot be mapped in hardware, Add input shift is out of range. The "
              "maximum is " + std::to_string(kMaxShiftDifference) + ".");
    const int merged = std::max(av, bv) + ov;
    r.fail_if(merged < kMinMergedShift || merged > kMaxMergedShift,
              "This model cannot be mapped in hardware, Add output shift is out of range. "
              "Should be in [" + std::to_string(kMinMergedShift) + ", " +
                  std::to_string(kMaxMergedShift) + "].");
  }
  return r.status();
}

// The rules shared by both merge layers, after the Add's own.
MappingStatus check_merge_place(RuleCheck& r, const Layer& layer, const char* duplicate_message) {
  r.fail_if(!followed_by_cnp(layer), "Must be followed by a merge layer.");
  r.fail_if(!inbounds_are_conv_or_merge(layer), "Inbounds must be of types Conv, Add or Concat.");
  if (has_duplicate_inbound(layer)) return make_mapping_status(layer, duplicate_message);
  return r.status();
}

}  // namespace

MappingStatus check_add(const Layer& layer) {
  RuleCheck r(layer);
  r.fail_if((layer.output_bits() & 0xFF) != 8, "Output must be 8-bit.");
  r.merge(check_add_shifts(layer));
  return check_merge_place(r, layer, "Add inbounds must come from different layers.");
}

MappingStatus check_concatenate(const Layer& layer) {
  RuleCheck r(layer);
  return check_merge_place(r, layer, "Concatenate inbounds must come from different layers.");
}

}  // namespace morla::v2
