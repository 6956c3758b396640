// Splitting a model into sequences around what the device refuses.
#include <gtest/gtest.h>

#include <algorithm>
#include <stdexcept>
#include <string>
#include <vector>

#include "engine/model_mapping.h"
#include "hwmap/hardware_sequence.h"
#include "hwmap_test_support.h"
#include "mapping/recording_refusal.h"

namespace morla {
namespace {

LayerList layers_named(const std::vector<std::string>& names) {
  LayerList layers;
  for (const auto& name : names)
    layers.push_back(test::make_layer(LayerType::Dequantizer, {}, name));
  return layers;
}

// Takes up to `take` leading layers per call into a hardware sequence; the layer named
// `refused` is never taken: it fails its check, or, `at_recording`, a run that took it
// throws RecordingRefused, and a run told of that refusal stops at it. Either way the
// failed status names it with the text "refused".
engine::MapStep device_refusing(std::string refused, size_t take = 2, bool at_recording = false) {
  return [refused, take, at_recording](
             LayerList& remaining, std::vector<std::shared_ptr<Sequence>>& sequences,
             const std::shared_ptr<MapConstraints>&, const std::vector<MappingStatus>& refusals) {
    MappingStatusGroup group;
    size_t count = 0;
    for (; count < remaining.size() && count < take; ++count) {
      const MappingStatus status = make_mapping_status(remaining[count], "refused");
      const bool told = std::find(refusals.begin(), refusals.end(), status) != refusals.end();
      if (remaining[count]->name() != refused || (at_recording && !told)) continue;
      group.kind = 1;
      group.statuses.push_back(status);
      break;
    }
    for (size_t i = 0; i < count; ++i)
      if (remaining[i]->name() == refused)
        throw RecordingRefused(make_mapping_status(remaining[i], "refused"));
    const LayerList taken(remaining.begin(), remaining.begin() + static_cast<ptrdiff_t>(count));
    remaining.erase(remaining.begin(), remaining.begin() + static_cast<ptrdiff_t>(count));
    if (!taken.empty())
      sequences.push_back(std::make_shared<HardwareSequence>(
          nullptr, nullptr, taken, std::vector<std::shared_ptr<Sequence::Pass>>{},
          std::vector<uint8_t>{}));
    return group;
  };
}

std::vector<std::string> names_of(const std::vector<std::shared_ptr<Sequence>>& sequences) {
  std::vector<std::string> names;
  for (const auto& s : sequences) names.push_back(s->name());
  return names;
}

struct SplitCase {
  std::string refused;
  size_t take;
  std::vector<std::string> expected;
};

class SequenceSplit : public testing::TestWithParam<SplitCase> {};

// A layer refused at recording goes the way of one refused at its check. With hardware only
// the sequences are the same when all are hardware; otherwise the refusal is the error.
TEST_P(SequenceSplit, RefusedLayersRunInSoftwareAndMappingGoesOnAfterThem) {
  const SplitCase& c = GetParam();
  const LayerList layers = layers_named({"a", "b", "c", "d", "e"});
  for (const bool at_recording : {false, true}) {
    SCOPED_TRACE(at_recording ? "refused at recording" : "refused at the check");
    const auto step = device_refusing(c.refused, c.take, at_recording);
    const auto sequences = engine::map_sequences(layers, false, nullptr, step);
    EXPECT_EQ(names_of(sequences), c.expected);
    bool any_software = false;
    for (const auto& s : sequences) {
      const bool software = s->name().rfind("SW/", 0) == 0;
      any_software |= software;
      EXPECT_EQ(s->backend(), software ? BackendType::Software : BackendType::Hardware);
      if (software) {
        EXPECT_EQ(s->program().data, nullptr);
        ASSERT_EQ(s->passes().size(), 1u);
      }
    }
    if (!any_software) {
      EXPECT_EQ(names_of(engine::map_sequences(layers, true, nullptr, step)), c.expected);
      continue;
    }
    try {
      engine::map_sequences(layers, true, nullptr, step);
      ADD_FAILURE() << "mapped";
    } catch (const std::runtime_error& e) {
      EXPECT_STREQ(e.what(), ("Cannot map layer '" + c.refused + "'. refused").c_str());
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, SequenceSplit,
                         testing::Values(SplitCase{"none", 5, {"HW/a-e"}},
                                         SplitCase{"none", 2, {"HW/a-b", "HW/c-d", "HW/e"}},
                                         SplitCase{"c", 5, {"HW/a-b", "SW/c", "HW/d-e"}},
                                         SplitCase{"a", 5, {"SW/a", "HW/b-e"}},
                                         SplitCase{"e", 2, {"HW/a-b", "HW/c-d", "SW/e"}},
                                         SplitCase{
                                             "d", 1, {"HW/a", "HW/b", "HW/c", "SW/d", "HW/e"}}),
                         [](const testing::TestParamInfo<SplitCase>& info) {
                           return "refusing_" + info.param.refused + "_taking_" +
                                  std::to_string(info.param.take);
                         });

TEST(SequenceSplit, AStatusNamingNoLayerSendsTheFirstLayerToSoftware) {
  int calls = 0;
  const auto sequences = engine::map_sequences(
      layers_named({"a", "b"}), false, nullptr,
      [&](LayerList&, std::vector<std::shared_ptr<Sequence>>&,
          const std::shared_ptr<MapConstraints>&, const std::vector<MappingStatus>&) {
        ++calls;
        return MappingStatusGroup();
      });
  EXPECT_EQ(names_of(sequences), (std::vector<std::string>{"SW/a", "SW/b"}));
  EXPECT_EQ(calls, 2);
}

// A run that maps nothing and reports no failure is no hardware mapping either.
TEST(SequenceSplit, HardwareOnlyRefusesARunThatMapsNothingWithoutFailure) {
  try {
    engine::map_sequences(layers_named({"a", "b"}), true, nullptr,
                          [](LayerList&, std::vector<std::shared_ptr<Sequence>>&,
                             const std::shared_ptr<MapConstraints>&,
                             const std::vector<MappingStatus>&) { return MappingStatusGroup(); });
    FAIL() << "mapped";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(),
                 "Cannot map layer 'a'. No layer from this one on runs on a hardware component.");
  }
}

TEST(SequenceSplit, AnErrorOfTheMappingPassesThrough) {
  EXPECT_THROW(engine::map_sequences(layers_named({"a"}), false, nullptr,
                                     [](LayerList&, std::vector<std::shared_ptr<Sequence>>&,
                                        const std::shared_ptr<MapConstraints>&,
                                        const std::vector<MappingStatus>&) -> MappingStatusGroup {
                                       throw std::invalid_argument("hook");
                                     }),
               std::invalid_argument);
}

}  // namespace
}  // namespace morla
