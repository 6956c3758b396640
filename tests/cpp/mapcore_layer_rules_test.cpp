// The rule tables the back ends write their checks with: which rules run, in which order,
// and which layer each failure names.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "engine_api/layer.h"
#include "engine_api/layer_params.h"
#include "contract/layer_rules.h"

namespace morla {
namespace {

const Rule<int> kDigitRules[] = {
    {[](const int& v) { return v % 2 != 0; }, "odd."},
    {[](const int& v) { return v > 4; },
     [](const int& v) { return "above 4 (" + std::to_string(v) + ")."; }},
    {[](const int& v) { return v % 3 == 0; }, "a multiple of 3."},
};

// The messages of the broken rules in table order, joined as a merged status joins them.
std::string joined(int v, bool first_only) {
  std::vector<std::string> broken;
  if (v % 2 != 0) broken.push_back("odd.");
  if (v > 4) broken.push_back("above 4 (" + std::to_string(v) + ").");
  if (v % 3 == 0) broken.push_back("a multiple of 3.");
  if (broken.empty()) return "Success.";
  if (first_only) return broken.front();
  std::string text = broken.front();
  for (size_t i = 1; i < broken.size(); ++i) text += " " + broken[i];
  return text;
}

std::shared_ptr<Layer> named(const char* name) {
  return Layer::create(LayerParams::create(LayerType::Dequantizer, {}).get(), name);
}

TEST(LayerRules, EveryAndFirstFollowTableOrder) {
  const auto layer = named("digits");
  std::mt19937 random(26);
  for (int i = 0; i < 40; ++i) {
    const int v = static_cast<int>(random() % 10);
    for (bool first_only : {false, true}) {
      RuleStatus status(*layer);
      if (first_only)
        status.first(kDigitRules, v);
      else
        status.every(kDigitRules, v);
      EXPECT_EQ(status.status().text, joined(v, first_only)) << v;
      EXPECT_EQ(status.failed(), joined(v, false) != "Success.");
      EXPECT_EQ(status.status().layer_name, status.failed() ? "digits" : "");
    }
  }
}

struct Pair {
  const Layer* left;
  const Layer* right;
};

const Rule<Pair> kPairRules[] = {
    {[](const Pair&) { return true; }, "about the right one.",
     [](const Pair& p) { return p.right; }},
    {[](const Pair&) { return true; }, "about no layer.",
     [](const Pair&) -> const Layer* { return nullptr; }},
};

TEST(LayerRules, ARuleNamesTheLayerItIsAbout) {
  const auto left = named("left"), right = named("right");
  RuleStatus about_right(*left);
  about_right.first(kPairRules, Pair{left.get(), right.get()});
  EXPECT_EQ(about_right.status(), MappingStatus(1, "about the right one.", right.get()));
  RuleStatus none(nullptr);
  none.merge(RuleStatus(*left).every(kDigitRules, 1))
      .every(RuleTable<Pair>(kPairRules).last(1), Pair{});
  EXPECT_EQ(none.status(), MappingStatus(1, "odd. about no layer.", left.get()));
}

}  // namespace
}  // namespace morla
