#include "mapping/map_constraints.h"

#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>
#include <string>
#include <tuple>
#include <vector>

#include "core/device_versions.h"
#include "core/mesh.h"
#include "core/virtual_device.h"
#include "test_helpers.h"

namespace morla {
namespace {

std::shared_ptr<Device> device_of(const HwVersion& version) {
  const Mesh mesh(version.get_ip_version(), hw::Ident{1, 1, 0, 0}, hw::Ident{1, 1, 1, 0},
                  std::nullopt, {}, {});
  return make_virtual_device(version, mesh);
}

// A device whose product byte names no IP generation (no mesh can describe it).
class UnknownProductDevice : public Device {
 public:
  UnknownProductDevice() : mesh_(IpVersion::v1, hw::Ident{}, hw::Ident{}, std::nullopt, {}, {}) {}
  HwVersion version() const override { return {HwVersion::kel_id, 0xC3, 0, 0}; }
  const char* desc() const override { return "unknown"; }
  const Mesh& mesh() const override { return mesh_; }
  HardwareDevice* hardware() const override { return nullptr; }

 private:
  Mesh mesh_;
};

struct Defaults {
  HwVersion version;
  uint32_t width, height, filters;
};

class MapConstraintsDefaults : public testing::TestWithParam<Defaults> {};

TEST_P(MapConstraintsDefaults, FollowTheIpVersion) {
  const Defaults& d = GetParam();
  const MapConstraints mc(device_of(d.version));
  EXPECT_EQ(mc.cnp_max_width_default(), d.width);
  EXPECT_EQ(mc.cnp_max_height_default(), d.height);
  EXPECT_EQ(mc.cnp_max_filters_default(), d.filters);
  EXPECT_EQ(mc.cnp_max_width(), d.width);
  EXPECT_EQ(mc.cnp_max_height(), d.height);
  EXPECT_EQ(mc.cnp_max_filters(), d.filters);
  EXPECT_FALSE(mc.hwpr_loopitself());
  EXPECT_EQ(mc.ip_version(), d.version.get_ip_version());
}

INSTANTIATE_TEST_SUITE_P(
    ByVersion, MapConstraintsDefaults,
    testing::Values(
        Defaults{devices::Orbi_v1, 32, 256, 512}, Defaults{devices::Orbi_v2, 32, 256, 504},
        Defaults{HwVersion{static_cast<uint8_t>(HwVersion::kel_id + 1), 0, 0, 2}, 32, 256, 512},
        Defaults{devices::MRL7700_v1, 32, 256, 512}, Defaults{devices::FPGA_v2, 64, 256, 512},
        Defaults{devices::Mote_FPGA, 0, 0, 0}),
    test::names_by([](const Defaults& d) { return "hw_" + d.version.to_string(); }));

TEST(MapConstraints, RefusesNullAndUnknownDevices) {
  EXPECT_EQ(test::error_text<std::invalid_argument>([] { MapConstraints mc(nullptr); }),
            "Invalid device passed to MapConstraints.");
  EXPECT_EQ(test::error_text<std::invalid_argument>(
                [] { MapConstraints mc(std::make_shared<UnknownProductDevice>()); }),
            "Unsupported IP version in MapConstraints constructor.");
}

TEST(MapConstraints, KeepsItsDevice) {
  auto dev = device_of(devices::FPGA_v2);
  const MapConstraints mc(dev);
  EXPECT_EQ(mc.device(), dev);
  EXPECT_EQ(dev.use_count(), 2);
}

using Setter = void (MapConstraints::*)(uint32_t);
using Getter = uint32_t (MapConstraints::*)() const;
struct Limit {
  const char* what;
  Setter set;
  Getter get;
  Getter get_default;
};

class MapConstraintsLimits : public testing::TestWithParam<std::tuple<Limit, HwVersion>> {};

TEST_P(MapConstraintsLimits, AcceptUpToTheDefaultAndKeepValueOnRefusal) {
  const auto& [limit, version] = GetParam();
  MapConstraints mc(device_of(version));
  const uint32_t def = (mc.*limit.get_default)();
  (mc.*limit.set)(def);
  EXPECT_EQ((mc.*limit.get)(), def);
  (mc.*limit.set)(0);
  EXPECT_EQ((mc.*limit.get)(), 0u);
  EXPECT_EQ(test::error_text<std::invalid_argument>([&] { (mc.*limit.set)(def + 1); }),
            std::string("CNP max ") + limit.what + " should be <= " + std::to_string(def) +
                ". Receives " + std::to_string(def + 1) + ".");
  EXPECT_EQ((mc.*limit.get)(), 0u);
  EXPECT_FALSE(
      test::error_text<std::invalid_argument>([&] { (mc.*limit.set)(0xFFFFFFFFu); }).empty());
  EXPECT_EQ((mc.*limit.get_default)(), def);
}

INSTANTIATE_TEST_SUITE_P(
    All, MapConstraintsLimits,
    testing::Combine(testing::Values(Limit{"width", &MapConstraints::set_cnp_max_width,
                                           &MapConstraints::cnp_max_width,
                                           &MapConstraints::cnp_max_width_default},
                                     Limit{"height", &MapConstraints::set_cnp_max_height,
                                           &MapConstraints::cnp_max_height,
                                           &MapConstraints::cnp_max_height_default},
                                     Limit{"filters", &MapConstraints::set_cnp_max_filters,
                                           &MapConstraints::cnp_max_filters,
                                           &MapConstraints::cnp_max_filters_default}),
                     testing::Values(devices::Orbi_v2, devices::FPGA_v2, devices::Mote_FPGA)),
    test::names_by([](const std::tuple<Limit, HwVersion>& c) {
      return std::string(std::get<0>(c).what) + "_on_hw_" + std::get<1>(c).to_string();
    }));

TEST(MapConstraints, HwprLoopitselfOnlyOnV2) {
  for (const HwVersion& v : {devices::Orbi_v1, devices::MRL7700_v1, devices::Mote_FPGA}) {
    MapConstraints mc(device_of(v));
    mc.set_hwpr_loopitself(false);
    EXPECT_EQ(test::error_text<std::invalid_argument>([&] { mc.set_hwpr_loopitself(true); }),
              "HWPR NP loopitself feature is only supported for IP v2.");
    EXPECT_FALSE(mc.hwpr_loopitself());
  }
  MapConstraints mc(device_of(devices::FPGA_v2));
  mc.set_hwpr_loopitself(true);
  EXPECT_TRUE(mc.hwpr_loopitself());
  mc.set_hwpr_loopitself(false);
  EXPECT_FALSE(mc.hwpr_loopitself());
}

TEST(MapConstraints, DefaultSelectNpsTakesTheFirstCandidates) {
  const MapConstraints mc(device_of(devices::FPGA_v2));
  std::vector<hw::Ident> five;
  for (uint8_t c = 1; c <= 5; ++c) five.push_back({c, 1, 0, 0});
  const MapConstraints& base = mc;
  EXPECT_EQ(base.select_nps(five, 3, hw::Type::CNP1),
            std::vector<hw::Ident>(five.begin(), five.begin() + 3));
  EXPECT_TRUE(base.select_nps(five, 0, hw::Type::CNP1).empty());
  EXPECT_EQ(base.select_nps(five, 9, hw::Type::FNP3), five);
  EXPECT_EQ(base.select_nps(five, 5, hw::Type::HRC), five);
  EXPECT_TRUE(base.select_nps({}, 2, hw::Type::CNP1).empty());
  base.next_layer_handler("anything");
}

TEST(MapConstraints, CopiesShareTheDeviceAndKeepTheLimits) {
  auto dev = device_of(devices::FPGA_v2);
  MapConstraints a(dev);
  a.set_cnp_max_width(10);
  const MapConstraints b = a;
  EXPECT_EQ(b.cnp_max_width(), 10u);
  EXPECT_EQ(b.cnp_max_width_default(), 64u);
  EXPECT_EQ(b.device(), dev);
}

}  // namespace
}  // namespace morla
