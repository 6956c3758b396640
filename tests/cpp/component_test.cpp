#include "contract/component.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>

namespace morla {
namespace {

hw::Component np_component() {
  hw::Component c;
  c.type = hw::Type::CNP2;
  c.ident = {2, 1, 3, 0};
  c.np_block =
      hw::NpBlock{8, 16, NpSpace{0, 4, Shape({10, 4, 3})}, NpSpace{0, 3, Shape({10, 6, 3})}, false};
  c.mem_info.input_size = 100;
  return c;
}

TEST(Component, DefaultsAreZero) {
  const hw::Component c;
  EXPECT_EQ(static_cast<int>(c.type), 0);
  EXPECT_EQ(c.ident, hw::Ident{});
  EXPECT_FALSE(c.np_block.has_value());
  EXPECT_EQ(c.mem_info, MemoryInfo{});
  const NpSpace s;
  EXPECT_EQ(s.x, 0u);
  EXPECT_EQ(s.shape.size(), 0u);
}

TEST(Component, SingleBufferTakesNoPartInEquality) {
  hw::Component a = np_component();
  hw::Component b = np_component();
  b.np_block->single_buffer = true;
  EXPECT_EQ(a, b);
}

struct Change {
  const char* name;
  std::function<void(hw::Component&)> apply;
};

class ComponentInequality : public testing::TestWithParam<Change> {};

TEST_P(ComponentInequality, AnyOtherFieldCounts) {
  hw::Component changed = np_component();
  GetParam().apply(changed);
  EXPECT_NE(np_component(), changed) << GetParam().name;
}

INSTANTIATE_TEST_SUITE_P(
    Fields, ComponentInequality,
    testing::Values(Change{"type", [](hw::Component& c) { c.type = hw::Type::CNP1; }},
                    Change{"channel", [](hw::Component& c) { c.ident.channel = 1; }},
                    Change{"start_neuron", [](hw::Component& c) { c.np_block->start_neuron = 0; }},
                    Change{"filters", [](hw::Component& c) { c.np_block->filters = 1; }},
                    Change{"partition y",
                           [](hw::Component& c) { c.np_block->spatial_partition.y = 5; }},
                    Change{"partition shape",
                           [](hw::Component& c) {
                             c.np_block->spatial_partition.shape = Shape({10, 4});
                           }},
                    Change{"input window",
                           [](hw::Component& c) {
                             c.np_block->input_window.shape = Shape({10, 7, 3});
                           }},
                    Change{"no block", [](hw::Component& c) { c.np_block.reset(); }},
                    Change{"evsram", [](hw::Component& c) { c.mem_info.evsram_32b_size = 1; }},
                    Change{"external", [](hw::Component& c) { c.mem_info.external_size = 1; }}),
    [](const testing::TestParamInfo<Change>& info) {
      std::string name = info.param.name;
      for (char& ch : name)
        if (ch == ' ') ch = '_';
      return name;
    });

TEST(Component, AnEmptyBlockDiffersFromNoBlock) {
  hw::Component a;
  a.type = hw::Type::SKIP_DMA_LOAD;
  hw::Component b = a;
  b.np_block = hw::NpBlock{};
  EXPECT_NE(a, b);
  b.np_block.reset();
  EXPECT_EQ(a, b);
}

}  // namespace
}  // namespace morla
