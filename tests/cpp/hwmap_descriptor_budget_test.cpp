// The descriptor budget of a sequence program: counts past 255 are over budget (never
// wrapped into a small count), the limits of one pass, and the stored descriptor value.
#include <gtest/gtest.h>

#include <string>

#include "core/device_versions.h"
#include "core/virtual_device.h"
#include "device_program_generated.h"
#include "hwmap/descriptor_budget.h"
#include "hwmap/hardware_backend.h"
#include "hwmap/hardware_sequence.h"
#include "hwmap/sequence_program.h"
#include "hwmap_test_support.h"

namespace morla {
namespace {

struct BudgetCase {
  std::string name;
  uint32_t first, second;  // word buffers recorded for the two layers
  uint32_t needed;         // 0: within budget
};

class DescriptorBudget : public testing::TestWithParam<BudgetCase> {};

TEST_P(DescriptorBudget, OneSequenceOfOnePass) {
  const BudgetCase& c = GetParam();
  const Mesh mesh(IpVersion::v1, hw::Ident{1, 1, 0, 0}, hw::Ident{1, 1, 1, 0}, np::Info::hrc(false),
                  {np::Info{hw::Ident{1, 2, 0, 0}, {hw::Type::CNP1}, false}}, {});
  const auto device = make_virtual_device(devices::Orbi_v2, mesh);
  const IpVersionSpecificHardwareBackend backend(device);
  test::FakeIoRecorder io;
  test::FakeLayerRecorder recorder;
  auto model = test::dense_model();
  model->add(test::make_layer(LayerType::Dense1D, {{"units", 2}, {"activation", 0}}, "second"), {});
  recorder.buffers["dense"] = c.first;
  recorder.buffers["second"] = c.second;
  PassContext context = build_pass_context(device, &backend, &io, &recorder);
  const LayerList layers(model->layers().begin() + 1, model->layers().end());
  context.layers = layers;
  auto pass = std::make_shared<Sequence::Pass>();
  pass->layers = layers;
  context.passes.push_back(pass);

  const auto [status, sequence] = build_sequence_program(context);
  if (c.needed == 0) {
    ASSERT_TRUE(status.ok()) << status.message();
    ASSERT_NE(sequence, nullptr);
    const auto* info =
        flatbuffers::GetSizePrefixedRoot<device_program::ProgramInfoRoot>(sequence->program().data);
    // The input's descriptor, the layers', and one more.
    EXPECT_EQ(info->descriptors(), 1 + c.first + c.second + 1);
    return;
  }
  EXPECT_FALSE(status.ok());
  EXPECT_EQ(sequence, nullptr);
  EXPECT_EQ(status.text,
            "Model is too big. The maximum number of descriptors is more than "
            "allowed. " +
                std::to_string(c.needed) + " are needed but 254 are available.");
  EXPECT_TRUE(context.layers.empty() && context.passes.empty() && context.program.empty());
}

INSTANTIATE_TEST_SUITE_P(
    Counts, DescriptorBudget,
    testing::Values(
        // 1 + 250 + 12 is 263: an 8-bit count would have wrapped to 7 and passed.
        BudgetCase{"wrapping_count_refused", 250, 12, 263},
        BudgetCase{"largest_single_pass", 126, 126, 0},
        BudgetCase{"one_more_for_the_final_check", 126, 127, 255},
        BudgetCase{"one_layer_at_the_limit", 252, 0, 0}, BudgetCase{"one_layer_over", 254, 0, 255}),
    [](const testing::TestParamInfo<BudgetCase>& info) { return info.param.name; });

TEST(DescriptorBudget, ProductsOfPassesAndCounts) {
  EXPECT_TRUE(check_descriptor_budget(nullptr, 2, 127).ok());
  EXPECT_FALSE(check_descriptor_budget(nullptr, 2, 128).ok());
  // Large factors do not overflow into a small product.
  EXPECT_FALSE(check_descriptor_budget(nullptr, UINT32_MAX, UINT32_MAX).ok());
  DescriptorCounter counter(250);
  counter.add(12);
  EXPECT_EQ(counter.count(), 262u);
}

}  // namespace
}  // namespace morla
