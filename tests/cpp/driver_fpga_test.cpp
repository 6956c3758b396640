// The FPGA board driver against a board made of regular files: its name from the
// SoC word, the routing of register and memory accesses, the transfer errors, the
// board's descriptors, and the mesh discovered through it.
#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "board_memory.h"
#include "core/device_versions.h"
#include "engine_api/hardware_device.h"
#include "devices/host_device.h"
#include "driver_test_support.h"
#include "drivers/driver_errors.h"
#include "drivers/fpga_driver.h"
#include "drivers/posix/file_descriptor.h"
#include "drivers/posix/xilinx_fpga.h"
#include "drivers/transport_error.h"
#include "fpga_board_files.h"
#include "memory_driver.h"
#include "test_helpers.h"

namespace morla {
namespace {

using sim::file_word;
using sim::write_file_word;

constexpr uint32_t kOrbiV1Id = 1066;
constexpr uint32_t kWindowEnd = FPGADriver::kRegisterWindowEnd;

// The descriptors this process has open.
std::vector<std::string> open_descriptors() {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd"))
    names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

struct SocCase {
  uint32_t soc_id;
  const char* desc;
};

class FpgaSocName : public testing::TestWithParam<SocCase> {};

TEST_P(FpgaSocName, NamesTheDriverAndPrintsNothing) {
  sim::FpgaBoardFiles files(sim::orbi_board(1), GetParam().soc_id);
  testing::internal::CaptureStdout();
  FPGADriver driver(files.prefix());
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_STREQ(driver.desc(), GetParam().desc);
  EXPECT_EQ(driver.registers_base(), 0u);
  EXPECT_EQ(driver.hw_version(), devices::Orbi_v1);
}

INSTANTIATE_TEST_SUITE_P(
    Ids, FpgaSocName,
    testing::Values(SocCase{1066, "fpga-Orbi_v1"}, SocCase{1127, "fpga-Orbi_v2"},
                    SocCase{1216, "fpga-Orbi_v2"}, SocCase{1333, "fpga-MRL7700_v1"},
                    SocCase{1400, "fpga-1400"}, SocCase{0, "fpga-0"}, SocCase{4095, "fpga-4095"}),
    test::names_by([](const SocCase& c) { return std::to_string(c.soc_id); }));

class FpgaBoard : public testing::Test {
 protected:
  FpgaBoard() : files_(sim::orbi_board(1), kOrbiV1Id) {}
  sim::FpgaBoardFiles files_;
};

// Below the window's end an access goes to the user file at the address, from the
// end on to the DMA channels at the address itself.
TEST_F(FpgaBoard, RoutesByTheWindowEnd) {
  write_file_word(files_.user_file(), kWindowEnd - 4, 0x11111111);
  write_file_word(files_.memory_file(), kWindowEnd - 4, 0x22222222);
  write_file_word(files_.memory_file(), kWindowEnd, 0x33333333);
  FPGADriver driver(files_.prefix());
  EXPECT_EQ(read_register(driver, kWindowEnd - 4), 0x11111111u);
  EXPECT_EQ(read_register(driver, kWindowEnd), 0x33333333u);

  write_register(driver, 0x100, 0xA5A5A5A5);
  write_register(driver, kWindowEnd + 0x100, 0x5A5A5A5A);
  EXPECT_EQ(file_word(files_.user_file(), 0x100), 0xA5A5A5A5u);
  EXPECT_EQ(file_word(files_.memory_file(), 0x100), 0u);
  EXPECT_EQ(file_word(files_.memory_file(), kWindowEnd + 0x100), 0x5A5A5A5Au);
}

TEST_F(FpgaBoard, MemoryWrittenThroughOneChannelReadsBackThroughTheOther) {
  FPGADriver driver(files_.prefix());
  std::vector<uint8_t> data(1 << 20);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 7 + (i >> 12));
  const uint32_t address = driver.memory_base() + 3;
  driver.write(address, data.data(), data.size());
  std::vector<uint8_t> back(data.size());
  driver.read(address, back.data(), back.size());
  EXPECT_EQ(back, data);
}

struct TransferCase {
  const char* name;
  bool write;
  uint32_t address;
  size_t length;
  std::string error;
  int error_number;  // errno of the failure
  // The host-to-card channel: a terminal (which refuses a positioned write with ESPIPE),
  // or a full device (which refuses every write with ENOSPC).
  bool full_channel = false;
};

// Makes `path` a node of the kernel's full device (char 1, 7): a node of this test's own,
// whose flock is its own, where /dev/full would be held by one test process at a time.
// Empty when it is made and opens, else why not.
std::string make_full_device(const std::string& path) {
  if (mknod(path.c_str(), S_IFCHR | 0600, makedev(1, 7)) != 0)
    return std::string("mknod of a full device: ") + std::strerror(errno);
  const int fd = open(path.c_str(), O_WRONLY);
  if (fd < 0) return std::string("open of a full device node: ") + std::strerror(errno);
  close(fd);
  return "";
}

class FpgaTransferError : public testing::TestWithParam<TransferCase> {};

// A transfer that falls short of its length fails whole, with the driver's message.
TEST_P(FpgaTransferError, GivesTheDriverMessage) {
  const TransferCase& c = GetParam();
  sim::FpgaBoardFiles files(sim::orbi_board(1), kOrbiV1Id);
  std::filesystem::remove(files.write_channel());
  // A host-to-card channel that refuses writes, of this test's own (a device node shared by
  // the whole machine would be held by one test at a time).
  int master = -1;
  if (c.full_channel) {
    const std::string why_not = make_full_device(files.write_channel());
    if (!why_not.empty()) GTEST_SKIP() << why_not;
  } else {
    master = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master, 0);
    ASSERT_EQ(grantpt(master), 0);
    ASSERT_EQ(unlockpt(master), 0);
    std::filesystem::create_symlink(ptsname(master), files.write_channel());
  }
  FPGADriver driver(files.prefix());
  std::vector<uint8_t> bytes(c.length);
  try {
    if (c.write)
      driver.write(c.address, bytes.data(), bytes.size());
    else
      driver.read(c.address, bytes.data(), bytes.size());
    ADD_FAILURE() << "no error";
  } catch (const TransportError& error) {
    EXPECT_EQ(error.what(), c.error + " on " + files.prefix() + "0");
    EXPECT_EQ(error.cause().error_number, c.error_number);
    EXPECT_EQ(error.cause().status, fpga::kTransferFailed);
  }
  if (master >= 0) close(master);
}

INSTANTIATE_TEST_SUITE_P(
    Transfers, FpgaTransferError,
    testing::Values(
        // The register window is only as long as the user file: a short read.
        TransferCase{"read past the window", false, kWindowEnd - 4, 8,
                     "An error occured while reading data from hardware; board result 4 "
                     "(transfer failed), errno 5 (Input/output error), at 0x1ffffc len 8",
                     EIO},
        TransferCase{"write to an unseekable channel", true, 0x24000000, 64,
                     "An error occured while writing data to hardware; board result 4 "
                     "(transfer failed), errno 29 (Illegal seek), at 0x24000000 len 64",
                     ESPIPE},
        TransferCase{"write to a full channel", true, 0x24000000, 64,
                     "An error occured while writing data to hardware; board result 4 "
                     "(transfer failed), errno 28 (No space left on device), at 0x24000000 "
                     "len 64",
                     ENOSPC, true}),
    test::names_by([](const TransferCase& c) { return c.name; }));

class FpgaHeldFile : public testing::TestWithParam<const char*> {};

// Each board file is held while a driver has it open; a driver that finds any of them held
// elsewhere is left out silently and keeps no descriptor.
TEST_P(FpgaHeldFile, LeavesAnotherDriverOutSilently) {
  sim::FpgaBoardFiles files(sim::orbi_board(1), kOrbiV1Id);
  // The write channel a file of its own, so that it is locked on its own.
  std::filesystem::remove(files.write_channel());
  std::ofstream(files.write_channel()).close();
  const std::string file = files.prefix() + "0_" + GetParam();
  const auto before = open_descriptors();
  {
    const FileDescriptor holder = open_exclusively(file, O_RDONLY);
    ASSERT_TRUE(holder.is_open());
    testing::internal::CaptureStdout();
    EXPECT_THROW(FPGADriver(files.prefix()), DriverNotAvailable);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  }
  EXPECT_EQ(open_descriptors(), before);
  const FPGADriver driver(files.prefix());
  errno = 0;
  EXPECT_FALSE(open_exclusively(file, O_RDONLY).is_open());
  EXPECT_EQ(errno, EWOULDBLOCK);
}

INSTANTIATE_TEST_SUITE_P(Files, FpgaHeldFile, testing::Values("user", "c2h_0", "h2c_0"));

TEST(FpgaDriver, WithoutBoardFilesIsNotAvailableAndPrintsNothing) {
  sim::TempFolder empty("morla-no-fpga");
  testing::internal::CaptureStdout();
  EXPECT_THROW(FPGADriver((empty.path() / "xdma").string()), DriverNotAvailable);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
}

// A register file too short to hold the SoC name word is no board: the read error is
// printed and the driver left out.
TEST_F(FpgaBoard, UnreadableNameWordLeavesTheDriverOut) {
  ASSERT_EQ(truncate(files_.user_file().c_str(), 0x1000), 0);
  testing::internal::CaptureStdout();
  EXPECT_THROW(FPGADriver(files_.prefix()), DriverNotAvailable);
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "An error occured while reading data from hardware; board result 4 (transfer failed), "
            "errno 5 (Input/output error), at 0x1f0000 len 4 on " +
                files_.prefix() + "0\n");
}

TEST(FpgaDriver, PrefixComesFromTheEnvironment) {
  sim::FpgaBoardFiles files(sim::orbi_board(1), 1333);
  setenv(kFpgaDevicePrefixVariable, files.prefix().c_str(), 1);
  EXPECT_STREQ(FPGADriver().desc(), "fpga-MRL7700_v1");
  setenv(kFpgaDevicePrefixVariable, "/nonexistent/xdma", 1);
  EXPECT_THROW(FPGADriver(), DriverNotAvailable);
  unsetenv(kFpgaDevicePrefixVariable);
}

// A board whose register window cannot be opened leaves no descriptor behind and
// closes none that it did not open (standard input among them).
TEST_F(FpgaBoard, MissingRegisterWindowClosesOnlyWhatWasOpened) {
  std::filesystem::remove(files_.user_file());
  const auto before = open_descriptors();
  EXPECT_THROW(FPGADriver(files_.prefix()), DriverNotAvailable);
  EXPECT_EQ(open_descriptors(), before);
  EXPECT_NE(fcntl(0, F_GETFD), -1);
}

// The register file is opened once (a second open would find it held): mapping the window
// again moves its base only.
TEST_F(FpgaBoard, RemappingTheWindowMovesItsBaseOnly) {
  const auto before = open_descriptors();
  {
    XilinxFPGA board(files_.prefix());
    ASSERT_EQ(board.open_device(0), fpga::kOk);
    ASSERT_EQ(board.map_memory_registers(0, 0, kWindowEnd), fpga::kOk);
    const auto mapped = open_descriptors();
    EXPECT_EQ(mapped.size(), before.size() + 3);
    // A second window based at 0x1000: register address 0x1100 is offset 0x100.
    write_file_word(files_.user_file(), 0x100, 0xCAFE0001);
    ASSERT_EQ(board.map_memory_registers(1, 0x1000, kWindowEnd), fpga::kOk);
    EXPECT_EQ(open_descriptors().size(), mapped.size());
    uint32_t word = 0;
    EXPECT_EQ(board.read_data(&word, 4, 0x1100, true), fpga::kOk);
    EXPECT_EQ(word, 0xCAFE0001u);
    EXPECT_EQ(board.read_data(&word, 4, 0xFFC, true), fpga::kTransferFailed);
    EXPECT_EQ(board.map_memory_registers(3, 0, kWindowEnd), fpga::kWindowOutOfRange);
    EXPECT_EQ(board.wait_for_interrupt(), fpga::kOk);
  }
  EXPECT_EQ(open_descriptors(), before);
}

TEST_F(FpgaBoard, ClosedBoardRefusesEveryOperation) {
  XilinxFPGA board(files_.prefix());
  uint32_t word = 0;
  EXPECT_EQ(board.close_device(), fpga::kNotOpen);
  EXPECT_EQ(board.map_memory_registers(0, 0, kWindowEnd), fpga::kUnavailable);
  EXPECT_EQ(board.read_data(&word, 4, 0, true), fpga::kUnavailable);
  EXPECT_EQ(board.write_data(&word, 4, kWindowEnd, false), fpga::kUnavailable);
  ASSERT_EQ(board.open_device(0), fpga::kOk);
  EXPECT_EQ(board.read_data(&word, 4, 0, true), fpga::kTransferFailed);  // no window yet
  EXPECT_EQ(board.close_device(), fpga::kOk);
  EXPECT_EQ(board.close_device(), fpga::kNotOpen);
  EXPECT_EQ(board.open_device(1), fpga::kUnavailable);  // there is no board 1
}

// The same board words give the same mesh through the FPGA driver (registers at 0)
// as through a driver whose registers sit at the usual base.
TEST(FpgaDriver, DiscoversTheMeshOfItsRegisterWindow) {
  sim::BoardConfig board_config;
  board_config.version = devices::FPGA_v2;
  board_config.geometry = sim::MeshGeometry{3, 2, 0, 0, 2, false, 1, 1, 0, 1, 0, 0, 1};
  board_config.registers = {{0x64, 0x07000006}, {0x68, 0x50}, {0x70, 0x9000}, {0x74, 0x2000}};
  board_config.np_info = {{hw::Ident{1, 2, 0, 0}, 2u << 6 | 1u << 8 | 1u << 10},
                          {hw::Ident{1, 2, 1, 0}, 1u << 9},
                          {hw::Ident{2, 1, 1, 0}, 3u << 4}};
  sim::FpgaBoardFiles files(board_config, 4000);
  auto driver = std::make_unique<FPGADriver>(files.prefix());
  EXPECT_STREQ(driver->desc(), "fpga-4000");
  const HostDevice device(HardwareDevice::create(driver.get()));

  sim::BoardMemory memory;
  sim::load_board(memory, board_config);
  sim::MemoryDriver reference_driver(memory);
  const HostDevice reference(HardwareDevice::create(&reference_driver));
  EXPECT_EQ(device.version(), devices::FPGA_v2);
  EXPECT_EQ(device.mesh(), reference.mesh());
  EXPECT_EQ(device.mesh().skip_dmas.size(), 2u);
  EXPECT_EQ(device.mesh().nps.size(), 8u);
}

}  // namespace
}  // namespace morla
