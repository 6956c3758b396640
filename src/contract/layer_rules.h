#pragma once
// The one way the back ends write their checks: a rule is a small predicate over the facts
// a check reads from a layer, carrying the message the layer fails with when the rule is
// broken; a check is a table of such rules, run in table order into one status about the
// layer. `every` keeps going after a broken rule (the messages are merged, joined by
// blanks); `first` stops at the first broken rule. A check that stops between tables says
// so with `failed()`, as its rules read.
#include <cstddef>
#include <span>
#include <string>
#include <type_traits>

#include "contract/mapping_status.h"

namespace morla {

// What a broken rule says: a fixed text, or a text built from the facts it judged.
template <typename Facts>
class RuleMessage {
 public:
  using Build = std::string (*)(const Facts&);

  constexpr RuleMessage(const char* text) : text_(text) {}
  template <typename F>
  requires std::is_convertible_v<F, Build>
  constexpr RuleMessage(F build) : build_(build) {}

  std::string operator()(const Facts& facts) const { return build_ ? build_(facts) : text_; }

 private:
  const char* text_ = nullptr;
  Build build_ = nullptr;
};

// One rule: broken when `broken` answers true for the facts. A rule about a run of layers
// names, with `about`, the layer its failure is about (null: none); without `about` the
// failure is about the layer the status was made for.
template <typename Facts>
struct Rule {
  bool (*broken)(const Facts&);
  RuleMessage<Facts> message;
  const Layer* (*about)(const Facts&) = nullptr;
};

template <typename Facts>
using RuleTable = std::span<const Rule<Facts>>;

// The status one check builds about one layer, table by table.
class RuleStatus {
 public:
  explicit RuleStatus(const Layer& layer) : layer_(&layer) {}
  // A status about no layer in particular (a rule about a whole model or run).
  explicit RuleStatus(std::nullptr_t) {}

  // Adds the message of every broken rule, in table order.
  template <typename Facts>
  RuleStatus& every(RuleTable<Facts> rules, const std::type_identity_t<Facts>& facts) {
    for (const Rule<Facts>& rule : rules)
      if (rule.broken(facts)) add(rule, facts);
    return *this;
  }
  // Adds the message of the first broken rule only.
  template <typename Facts>
  RuleStatus& first(RuleTable<Facts> rules, const std::type_identity_t<Facts>& facts) {
    for (const Rule<Facts>& rule : rules)
      if (rule.broken(facts)) return add(rule, facts);
    return *this;
  }
  template <typename Facts, size_t N>
  RuleStatus& every(const Rule<Facts> (&rules)[N], const std::type_identity_t<Facts>& facts) {
    return every(RuleTable<Facts>(rules), facts);
  }
  template <typename Facts, size_t N>
  RuleStatus& first(const Rule<Facts> (&rules)[N], const std::type_identity_t<Facts>& facts) {
    return first(RuleTable<Facts>(rules), facts);
  }

  // Merges the status of another check (of this layer or another one).
  RuleStatus& merge(const MappingStatus& other) {
    status_.merge(other);
    return *this;
  }

  bool failed() const { return !status_.ok(); }
  const MappingStatus& status() const { return status_; }
  operator const MappingStatus&() const { return status_; }

 private:
  template <typename Facts>
  RuleStatus& add(const Rule<Facts>& rule, const Facts& facts) {
    const Layer* about = rule.about ? rule.about(facts) : layer_;
    status_.merge(make_mapping_status(about, rule.message(facts)));
    return *this;
  }

  const Layer* layer_ = nullptr;
  MappingStatus status_;
};

}  // namespace morla
