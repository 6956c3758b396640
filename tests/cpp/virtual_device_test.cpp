#include "core/virtual_device.h"
#include "test_helpers.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

namespace morla {
namespace {

Mesh mesh_of(IpVersion version) {
  return Mesh(version, hw::Ident{1, 1, 0, 0}, hw::Ident{1, 1, 1, 0}, np::Info::hrc(true),
              {np::Info{hw::Ident{1, 2, 0, 0}, {hw::Type::CNP1}, true}}, {});
}

TEST(VirtualDevice, HoldsVersionMeshAndDescription) {
  const Mesh mesh = mesh_of(IpVersion::v2);
  const auto dev = make_virtual_device(HwVersion{1, 0xA2, 1, 0}, mesh);
  EXPECT_STREQ(dev->desc(), "VirtualDevice/01.A2.001.000");
  EXPECT_EQ(dev->version(), (HwVersion{1, 0xA2, 1, 0}));
  EXPECT_EQ(dev->get_ip_version(), IpVersion::v2);
  EXPECT_EQ(dev->mesh(), mesh);
  EXPECT_NE(&dev->mesh(), &mesh);
  EXPECT_EQ(dev->hardware(), nullptr);
}

TEST(VirtualDevice, RefusesAVersionOfAnotherIp) {
  EXPECT_EQ(test::error_text<std::invalid_argument>([&] {
              make_virtual_device(HwVersion{1, 0, 0, 2}, mesh_of(IpVersion::v2));
            }),
            "Incompatible hardware and Ip versions: HW Version is 1.0.0.2 with product id "
            "= 0 while IP version is v2.");
  EXPECT_THROW(make_virtual_device(HwVersion{1, 0xD0, 0, 0}, mesh_of(IpVersion::mote)),
               std::invalid_argument);
  EXPECT_NO_THROW(make_virtual_device(HwVersion{9, 0, 0, 2}, mesh_of(IpVersion::v1)));
  EXPECT_NO_THROW(make_virtual_device(HwVersion{9, 0xB1, 1, 0}, mesh_of(IpVersion::mote)));
}

TEST(NpInfo, HrcFactory) {
  const np::Info hrc = np::Info::hrc(false);
  EXPECT_EQ(hrc.ident, hw::Ident{});
  EXPECT_EQ(hrc.types, std::set<hw::Type>{hw::Type::HRC});
  EXPECT_FALSE(hrc.has_lut);
  EXPECT_NE(hrc, np::Info::hrc(true));
}

}  // namespace
}  // namespace morla
