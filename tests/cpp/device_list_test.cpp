// Device enumeration over a list of drivers: one HostDevice per working driver,
// failing drivers reported and skipped, and the start-up probe of Orbi v2 boards.
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "core/device_versions.h"
#include "engine_api/hardware_device.h"
#include "engine_api/model.h"
#include "engine_api/sequence.h"
#include "core/mesh.h"
#include "core/virtual_device.h"
#include "devices/device_list.h"
#include "devices/device_probe.h"
#include "devices/host_device.h"
#include "driver_test_support.h"
#include "program_player.h"

namespace morla {
namespace {

bool never_probed(const std::shared_ptr<Device>&) {
  ADD_FAILURE() << "probed";
  return false;
}

// Boards behind USB drivers, kept alive for the test.
struct Boards {
  std::vector<std::unique_ptr<sim::BoardSimulator>> simulators;
  DriverList drivers;

  void add(const sim::BoardConfig& board_config) {
    simulators.push_back(std::make_unique<sim::BoardSimulator>(board_config));
    drivers.push_back(test::usb_driver_on(*simulators.back()));
  }
  size_t version_reads(size_t board) const {
    size_t n = 0;
    for (const auto& frame : simulators[board]->frames())
      n += frame.command == 1 && frame.address == sim::kRegistersBase;
    return n;
  }
};

TEST(DeviceList, ListsWorkingDriversAndReportsFailingOnes) {
  Boards boards;
  testing::internal::CaptureStdout();
  boards.add(sim::orbi_board(1));
  sim::BoardConfig unknown = sim::orbi_board(1);
  unknown.version.product_id = 0xC3;
  boards.add(unknown);
  boards.add(sim::orbi_board(4));
  testing::internal::GetCapturedStdout();

  testing::internal::CaptureStdout();
  const DeviceList devices = build_device_list(boards.drivers, never_probed);
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            std::string("Unknown IP version. (driver ") + boards.drivers[1]->desc() +
                ": its board is skipped for this process)\n");
  ASSERT_EQ(devices.size(), 2u);
  EXPECT_STREQ(devices[0]->desc(), "USB/Orbi_v1");
  EXPECT_STREQ(devices[1]->desc(), "USB/Orbi_v4");
  EXPECT_EQ(devices[0]->version(), devices::Orbi_v1);
  EXPECT_EQ(devices[0]->mesh().nps.size(), 3u);
  EXPECT_EQ(devices[1]->hardware()->driver(), boards.drivers[2].get());
  EXPECT_NO_THROW(devices[0]->check_hw_and_ip_version_compatibility(IpVersion::v1));
  EXPECT_TRUE(build_device_list({}, never_probed).empty());
}

TEST(DeviceList, FailedProbeReplacesTheDeviceByAFreshOne) {
  Boards boards;
  testing::internal::CaptureStdout();
  boards.add(sim::orbi_board(2));
  testing::internal::GetCapturedStdout();
  const size_t reads_before = boards.version_reads(0);
  int probes = 0;
  HardwareDevice* probed = nullptr;
  const DeviceList devices =
      build_device_list(boards.drivers, [&](const std::shared_ptr<Device>& device) {
        ++probes;
        probed = device->hardware();
        return true;
      });
  EXPECT_EQ(probes, 1);
  ASSERT_EQ(devices.size(), 1u);
  EXPECT_EQ(devices[0]->version(), devices::Orbi_v2);
  EXPECT_EQ(boards.version_reads(0) - reads_before, 2u);  // the device was created twice
  EXPECT_NE(devices[0]->hardware(), nullptr);
  (void)probed;
}

TEST(DeviceList, ProbeThatSucceedsKeepsTheDevice) {
  Boards boards;
  testing::internal::CaptureStdout();
  boards.add(sim::orbi_board(2));
  testing::internal::GetCapturedStdout();
  const size_t reads_before = boards.version_reads(0);
  const DeviceList devices =
      build_device_list(boards.drivers, [](const std::shared_ptr<Device>&) { return false; });
  ASSERT_EQ(devices.size(), 1u);
  EXPECT_EQ(boards.version_reads(0) - reads_before, 1u);
}

// Mapping the test model fails (as it does while mapping is not available): the
// driver contributes no device, the message is printed, the next driver is used.
TEST(DeviceList, ProbeThatCannotMapSkipsTheDriver) {
  Boards boards;
  testing::internal::CaptureStdout();
  boards.add(sim::orbi_board(2));
  boards.add(sim::orbi_board(1));
  testing::internal::GetCapturedStdout();
  testing::internal::CaptureStdout();
  const DeviceList devices =
      build_device_list(boards.drivers, [](const std::shared_ptr<Device>&) -> bool {
        throw std::runtime_error("Mapping is not available.");
      });
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            std::string("Mapping is not available. (driver ") + boards.drivers[0]->desc() +
                ": its board is skipped for this process)\n");
  ASSERT_EQ(devices.size(), 1u);
  EXPECT_STREQ(devices[0]->desc(), "USB/Orbi_v1");
}

TEST(DeviceList, OtherExceptionsLeaveTheEnumeration) {
  Boards boards;
  testing::internal::CaptureStdout();
  boards.add(sim::orbi_board(2));
  testing::internal::GetCapturedStdout();
  EXPECT_THROW(build_device_list(boards.drivers,
                                 [](const std::shared_ptr<Device>&) -> bool {
                                   throw std::invalid_argument("bad");
                                 }),
               std::invalid_argument);
}

TEST(HostDevice, MovesTransferTheHardwareAndTheMesh) {
  Boards boards;
  testing::internal::CaptureStdout();
  boards.add(sim::orbi_board(1));
  testing::internal::GetCapturedStdout();
  HostDevice first(HardwareDevice::create(boards.drivers[0].get()));
  HardwareDevice* hardware = first.hardware();
  HostDevice second(std::move(first));
  EXPECT_EQ(second.hardware(), hardware);
  EXPECT_EQ(first.hardware(), nullptr);
  EXPECT_EQ(second.mesh().version, IpVersion::v1);
}

}  // namespace
}  // namespace morla

namespace morla {
namespace {

// The real start-up probe on an Orbi v2 board whose firmware knows the probe's program
// (obtained by mapping the probe model on a device without hardware of the same version
// and mesh): the device is created once, or twice when the board fails that run.
class DeviceProbe : public testing::TestWithParam<size_t> {};

TEST_P(DeviceProbe, ATestInferenceThatFailsRecreatesTheDevice) {
  const size_t failing_runs = GetParam();
  Boards boards;
  testing::internal::CaptureStdout();
  boards.add(sim::orbi_board(2));
  boards.add(sim::orbi_board(1));
  testing::internal::GetCapturedStdout();
  const auto board_device =
      std::make_shared<HostDevice>(HardwareDevice::create(boards.drivers[0].get()));
  const std::shared_ptr<Model> probe = build_probe_model();
  probe->map(make_virtual_device(board_device->version(), board_device->mesh()), true, nullptr);
  ASSERT_EQ(probe->sequences().size(), 1u);
  const ByteRange program = probe->sequences()[0]->program();
  auto player = sim::ProgramPlayer::install(
      boards.simulators[0]->memory(), sim::kRegistersBase,
      {{std::vector<uint8_t>(program.data, program.data + program.size), build_probe_model()}});
  player->fail_runs(failing_runs);
  const size_t reads_before = boards.version_reads(0);
  testing::internal::CaptureStdout();
  const DeviceList devices = build_device_list(boards.drivers, probe_device);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  ASSERT_EQ(devices.size(), 2u);
  EXPECT_EQ(devices[0]->version(), devices::Orbi_v2);
  EXPECT_EQ(player->runs(), 1u);
  EXPECT_EQ(boards.version_reads(0) - reads_before, failing_runs ? 2u : 1u);
}

INSTANTIATE_TEST_SUITE_P(Runs, DeviceProbe, testing::Values(0, 1),
                         [](const testing::TestParamInfo<size_t>& info) {
                           return info.param ? std::string("failing") : std::string("passing");
                         });

}  // namespace
}  // namespace morla
