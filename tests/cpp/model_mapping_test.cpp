// Splitting a model into sequences around what the device refuses.
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "engine/model_mapping.h"
#include "hwmap/hardware_sequence.h"
#include "hwmap_test_support.h"

namespace morla {
namespace {

LayerList layers_named(const std::vector<std::string>& names) {
  LayerList layers;
  for (const auto& name : names)
    layers.push_back(test::make_layer(LayerType::Dequantizer, {}, name));
  return layers;
}

// Takes up to `take` leading layers per call into a hardware sequence; the layer named
// `refused` is never taken and is named in the failed status.
engine::MapStep device_refusing(std::string refused, size_t take = 2) {
  return [refused, take](LayerList& remaining, std::vector<std::shared_ptr<Sequence>>& sequences,
                         const std::shared_ptr<MapConstraints>&) {
    LayerList taken;
    MappingStatusGroup group;
    while (!remaining.empty() && taken.size() < take) {
      if (remaining.front()->name() == refused) {
        group.kind = 1;
        group.statuses.push_back(make_mapping_status(remaining.front(), "refused"));
        break;
      }
      taken.push_back(remaining.front());
      remaining.erase(remaining.begin());
    }
    if (!taken.empty())
      sequences.push_back(std::make_shared<HardwareSequence>(nullptr, nullptr, taken,
                                                             std::vector<std::shared_ptr<Sequence::Pass>>{},
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

TEST_P(SequenceSplit, RefusedLayersRunInSoftwareAndMappingGoesOnAfterThem) {
  const SplitCase& c = GetParam();
  const auto sequences =
      engine::map_sequences(layers_named({"a", "b", "c", "d", "e"}), false, nullptr,
                            device_refusing(c.refused, c.take));
  EXPECT_EQ(names_of(sequences), c.expected);
  for (const auto& s : sequences) {
    const bool software = s->name().rfind("SW/", 0) == 0;
    EXPECT_EQ(s->backend(), software ? BackendType::Software : BackendType::Hardware);
    if (software) {
      EXPECT_EQ(s->program().data, nullptr);
      ASSERT_EQ(s->passes().size(), 1u);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SequenceSplit,
    testing::Values(SplitCase{"none", 5, {"HW/a-e"}},
                    SplitCase{"c", 5, {"HW/a-b", "SW/c", "HW/d-e"}},
                    SplitCase{"a", 5, {"SW/a", "HW/b-e"}},
                    SplitCase{"e", 2, {"HW/a-b", "HW/c-d", "SW/e"}},
                    SplitCase{"d", 1, {"HW/a", "HW/b", "HW/c", "SW/d", "HW/e"}}),
    [](const testing::TestParamInfo<SplitCase>& info) {
      return "refusing_" + info.param.refused + "_taking_" + std::to_string(info.param.take);
    });

TEST(SequenceSplit, AStatusNamingNoLayerSendsTheFirstLayerToSoftware) {
  int calls = 0;
  const auto sequences = engine::map_sequences(
      layers_named({"a", "b"}), false, nullptr,
      [&](LayerList&, std::vector<std::shared_ptr<Sequence>>&, const std::shared_ptr<MapConstraints>&) {
        ++calls;
        return MappingStatusGroup();
      });
  EXPECT_EQ(names_of(sequences), (std::vector<std::string>{"SW/a", "SW/b"}));
  EXPECT_EQ(calls, 2);
}

TEST(SequenceSplit, HardwareOnlyStopsAtTheFirstRefusalWithItsMessage) {
  try {
    engine::map_sequences(layers_named({"a", "b", "c"}), true, nullptr, device_refusing("b"));
    FAIL() << "mapped";
  } catch (const std::runtime_error& e) {
    EXPECT_NE(std::string(e.what()).find("Cannot map layer 'b'. refused"), std::string::npos);
  }
  EXPECT_EQ(engine::map_sequences(layers_named({"a", "b"}), true, nullptr, device_refusing("x"))
                .size(),
            1u);
}

// A run that maps nothing and reports no failure is no hardware mapping either.
TEST(SequenceSplit, HardwareOnlyRefusesARunThatMapsNothingWithoutFailure) {
  try {
    engine::map_sequences(
        layers_named({"a", "b"}), true, nullptr,
        [](LayerList&, std::vector<std::shared_ptr<Sequence>>&, const std::shared_ptr<MapConstraints>&) {
          return MappingStatusGroup();
        });
    FAIL() << "mapped";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(),
                 "Cannot map layer 'a'. No layer from this one on runs on a hardware component.");
  }
}

TEST(SequenceSplit, AnErrorOfTheMappingPassesThrough) {
  EXPECT_THROW(engine::map_sequences(layers_named({"a"}), false, nullptr,
                                     [](LayerList&, std::vector<std::shared_ptr<Sequence>>&,
                                        const std::shared_ptr<MapConstraints>&) -> MappingStatusGroup {
                                       throw std::invalid_argument("hook");
                                     }),
               std::invalid_argument);
}

}  // namespace
}  // namespace morla
