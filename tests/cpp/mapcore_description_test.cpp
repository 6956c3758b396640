// The hardware description words of each IP generation, and the back-end factory's refusal
// of a product without a back end.
#include <gtest/gtest.h>

#include <stdexcept>

#include "core/virtual_device.h"
#include "hwmap/hardware_backend.h"
#include "contract/hardware_description.h"

namespace morla {
namespace {

using W = HardwareDescription;

Mesh mesh_with(IpVersion version, SramSize sram) {
  Mesh mesh(version, hw::Ident{1, 1, 0, 0}, hw::Ident{1, 1, 1, 0}, std::nullopt, {}, {});
  mesh.np_sram_size = sram;
  return mesh;
}

TEST(HardwareDescription, V1ProductsShareOneDescription) {
  const Mesh mesh = mesh_with(IpVersion::v1, SramSize{1048576, 3276800, 1, 2, 3, 4});
  const HardwareDescription d = describe_hardware(161, mesh);
  EXPECT_EQ(describe_hardware(0, mesh), d);
  EXPECT_EQ(d[W::weight_capacity], 524288u);  // 50-bit entries
  EXPECT_EQ(d[W::dual_buffer_words], 131072u);
  EXPECT_EQ(d[W::single_buffer_words], 262144u);
  EXPECT_EQ(d[W::fnp_input_words], 262144u);
  EXPECT_EQ(d[W::stsram_32b_words], 0u);
}

TEST(HardwareDescription, V2CountsWeightsInHundredBitContainers) {
  const Mesh mesh = mesh_with(IpVersion::v2, SramSize{1048576, 3276800, 1, 2, 3, 4});
  const HardwareDescription v2 = describe_hardware(162, mesh);
  const HardwareDescription v1 = describe_hardware(161, mesh);
  EXPECT_EQ(v2[W::weight_capacity], 262144u);
  EXPECT_EQ(v2[W::weight_units], v1[W::weight_units]);
  EXPECT_EQ(v2[W::input_shift_bytes], 256u);
  EXPECT_EQ(v1[W::input_shift_bytes], 0u);
}

TEST(HardwareDescription, ByteCountsWrapAsThirtyTwoBitProducts) {
  // 2^29 bytes: x 8 wraps to 0 in 32 bits.
  const Mesh mesh = mesh_with(IpVersion::v2, SramSize{1u << 29, 1u << 29, 0, 0, 0, 0});
  const HardwareDescription d = describe_hardware(162, mesh);
  EXPECT_EQ(d[W::single_buffer_words], 0u);
  EXPECT_EQ(d[W::weight_capacity], 0u);
}

TEST(HardwareDescription, MoteKeepsOnlyItsSramWords) {
  const Mesh mesh = mesh_with(IpVersion::mote, SramSize{1048576, 3276800, 448, 8192, 892, 256});
  const HardwareDescription d = describe_hardware(177, mesh);
  for (uint32_t w = 0; w <= 14; ++w) EXPECT_EQ(d.words[w], 0u) << w;
  EXPECT_EQ(d[W::stsram_32b_words], 448u);
  EXPECT_EQ(d[W::fsram_64b_words], 8192u);
  EXPECT_EQ(d[W::tsram_51b_words], 892u);
  EXPECT_EQ(d[W::evsram_32b_words], 256u);
}

TEST(HardwareBackend, UnknownProductIsRefused) {
  const char* message = "Unsupported IP version in IpVersionSpecificHardwareBackend.";
  const Mesh mesh = mesh_with(IpVersion::v2, SramSize{});
  try {
    describe_hardware(99, mesh);
    FAIL() << "no exception";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), message);
  }
  auto device = std::make_shared<VirtualDevice>(HwVersion{1, 99, 1, 0}, mesh);
  try {
    IpVersionSpecificHardwareBackend backend(device);
    FAIL() << "no exception";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), message);
  }
}

// The version, the description and the factory read one product table: every product byte
// that names a generation has a description and a back end, and no other does.
TEST(HardwareBackend, EveryProductByteAgreesWithItsGeneration) {
  for (int product = 0; product < 256; ++product) {
    const HwVersion version{HwVersion::kel_id, static_cast<uint8_t>(product), 1, 0};
    const IpVersion ip = version.get_ip_version();
    const bool known = product == 0x00 || product == 0xA1 || product == 0xA2 || product == 0xB1;
    EXPECT_EQ(ip != IpVersion::none, known) << product;
    const Mesh mesh = mesh_with(known ? ip : IpVersion::v1, SramSize{4096, 4096, 1, 1, 1, 1});
    if (!known) {
      EXPECT_THROW(describe_hardware(static_cast<uint8_t>(product), mesh), std::runtime_error);
      continue;
    }
    EXPECT_EQ(describe_hardware(static_cast<uint8_t>(product), mesh)[W::weight_units] == 0,
              ip == IpVersion::mote)
        << product;
    EXPECT_NO_THROW(
        IpVersionSpecificHardwareBackend(std::make_shared<VirtualDevice>(version, mesh)))
        << product;
  }
}

}  // namespace
}  // namespace morla
