#include "backend/v2/merge_checks.h"

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "backend/v2/variable_access.h"
#include "contract/layer_rules.h"

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

// The three shifts of one channel of an Add.
struct ChannelShifts {
  int a, b, output;
};

const Rule<ChannelShifts> kShiftRules[] = {
    {[](const ChannelShifts& s) { return std::abs(s.a - s.b) > kMaxShiftDifference; },
     [](const ChannelShifts&) {
       return "This model cannot be mapped in hardware, Add input shift is out of range. The "
              "maximum is " +
              std::to_string(kMaxShiftDifference) + ".";
     }},
    {[](const ChannelShifts& s) {
       const int merged = std::max(s.a, s.b) + s.output;
       return merged < kMinMergedShift || merged > kMaxMergedShift;
     },
     [](const ChannelShifts&) {
       return "This model cannot be mapped in hardware, Add output shift is out of range. "
              "Should be in [" +
              std::to_string(kMinMergedShift) + ", " + std::to_string(kMaxMergedShift) + "].";
     }},
};

// The three shift variables of an Add, null when absent.
struct ShiftVariables {
  const Dense *a, *b, *output;
};

const Rule<ShiftVariables> kShiftVariableRules[] = {
    {[](const ShiftVariables& v) { return !v.a; }, "No variable named 'a_shift'."},
    {[](const ShiftVariables& v) { return !v.b; }, "No variable named 'b_shift'."},
    {[](const ShiftVariables& v) { return !v.output; }, "No variable named 'output_shift'."},
};

// Per channel: the difference of the two input shifts and the merged output shift.
MappingStatus check_add_shifts(const Layer& layer) {
  RuleStatus status(layer);
  const auto a = optional_variable(layer, "a_shift");
  const auto b = optional_variable(layer, "b_shift");
  const auto o = optional_variable(layer, "output_shift");
  if (status.every(kShiftVariableRules, ShiftVariables{a.get(), b.get(), o.get()}).failed())
    return status;
  const size_t channels = a->shape().size() == 0 ? 0 : a->shape()[0];
  for (size_t i = 0; i < channels; ++i)
    status.every(kShiftRules,
                 ChannelShifts{a->get<uint8_t>(i), b->get<uint8_t>(i), o->get<int8_t>(i)});
  return status;
}

const Rule<Layer> kPlaceRules[] = {
    {[](const Layer& l) { return !followed_by_cnp(l); }, "Must be followed by a merge layer."},
    {[](const Layer& l) { return !inbounds_are_conv_or_merge(l); },
     "Inbounds must be of types Conv, Add or Concat."},
};

const Rule<Layer> kAddOutputRules[] = {
    {[](const Layer& l) { return (l.output_bits() & 0xFF) != 8; }, "Output must be 8-bit."},
};

const Rule<Layer> kAddInboundRules[] = {
    {has_duplicate_inbound, "Add inbounds must come from different layers."},
};

const Rule<Layer> kConcatenateInboundRules[] = {
    {has_duplicate_inbound, "Concatenate inbounds must come from different layers."},
};

// The rules shared by both merge layers, after the Add's own; a repeated inbound replaces
// everything gathered.
MappingStatus check_merge_place(RuleStatus& status, const Layer& layer,
                                RuleTable<Layer> inbound_rules) {
  status.every(kPlaceRules, layer);
  RuleStatus repeated(layer);
  if (repeated.every(inbound_rules, layer).failed()) return repeated;
  return status;
}

}  // namespace

MappingStatus check_add(const Layer& layer) {
  RuleStatus status(layer);
  status.every(kAddOutputRules, layer).merge(check_add_shifts(layer));
  return check_merge_place(status, layer, kAddInboundRules);
}

MappingStatus check_concatenate(const Layer& layer) {
  RuleStatus status(layer);
  return check_merge_place(status, layer, kConcatenateInboundRules);
}

}  // namespace morla::v2
