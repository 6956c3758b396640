// The hardware dump: its text format, what the host drivers record, and the
// file a process writes at exit.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "core/device_versions.h"
#include "driver_test_support.h"
#include "drivers/hw_dump.h"
#include "board_config.h"
#include "memory_driver.h"

namespace morla {
namespace {

std::string dump_of(const std::vector<HwDumpRecord>& records) {
  std::ostringstream out;
  format_hw_dump(records, out);
  return out.str();
}

HwDumpRecord word(uint8_t kind, uint32_t address, uint32_t value) {
  return {address,
          {uint8_t(value), uint8_t(value >> 8), uint8_t(value >> 16), uint8_t(value >> 24)},
          kind};
}

TEST(HwDumpFormat, FoldsRepeatedReadsAcrossRecords) {
  std::vector<HwDumpRecord> records(20, word('r', 0x100, 0x102));
  records.push_back(word('w', 0x100, 0x1));
  EXPECT_EQ(dump_of(records), "r 00000100 00000102  // * 20\nw 00000100 00000001\n");
}

TEST(HwDumpFormat, KeepsEveryWriteAndEveryChange) {
  const std::vector<HwDumpRecord> records = {word('w', 0x10, 7), word('w', 0x10, 7),
                                             word('r', 0x10, 7), word('r', 0x10, 8),
                                             word('r', 0x10, 8), word('r', 0x14, 8)};
  EXPECT_EQ(dump_of(records),
            "w 00000010 00000007\nw 00000010 00000007\nr 00000010 00000007\n"
            "r 00000010 00000008  // * 2\nr 00000014 00000008\n");
}

TEST(HwDumpFormat, WritesLeftOverBytesLastToFirst) {
  const std::vector<HwDumpRecord> records = {{0x100, {1, 2, 3, 4, 5, 6}, 'r'},
                                             {0x200, {0xAB}, 'w'}};
  EXPECT_EQ(dump_of(records), "r 00000100 04030201\nr 00000104 0605\nw 00000200 ab\n");
  EXPECT_EQ(dump_of({}), "");
}

TEST(HostDriver, EmptyTransfersReachNeitherTransportNorDump) {
  sim::BoardMemory memory;
  sim::BoardConfig board_config;
  board_config.version = devices::MRL7700_v1;
  sim::load_board(memory, board_config);
  sim::MemoryDriver driver(memory);
  const size_t calls = driver.transport_calls();
  uint8_t byte = 0;
  driver.read(0x100, &byte, 0);
  driver.write(0x100, &byte, 0);
  EXPECT_EQ(driver.transport_calls(), calls);
  EXPECT_EQ(driver.hw_version(), devices::MRL7700_v1);
  EXPECT_EQ(driver.memory_base(), 0x20000100u);
  EXPECT_EQ(driver.memory_size(), 0x000FFF00u);
  EXPECT_EQ(driver.registers_base(), 0xFCC00000u);
  EXPECT_EQ(driver.engine_reserved_a(), 0u);
  EXPECT_EQ(driver.engine_reserved_b(), 0u);
}

class HwDumpFile : public testing::Test {
 protected:
  void SetUp() override {
    path_ = std::filesystem::temp_directory_path() /
            ("morla_dump_" + std::to_string(getpid()) + "_" +
             testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::remove(path_);
  }
  void TearDown() override { std::filesystem::remove(path_); }
  std::string file_text() const {
    std::ifstream in(path_);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  std::filesystem::path path_;
};

// A process that uses a board with HW_DUMP set writes every access at exit,
// the driver's own start-up reads included.
TEST_F(HwDumpFile, ChildProcessWritesItsAccessesAtExit) {
  const std::string out = test::run_command("env -u NO_USB HW_DUMP=" + path_.string() + " " +
                                            test::built_program("registry_child") + " --board");
  EXPECT_NE(out.find("Debug will be at " + path_.string() + " as hardware dump file at exit...\n"),
            std::string::npos)
      << out;
  EXPECT_NE(out.find("Saving hardware dump to " + path_.string() + "\n"), std::string::npos);
  EXPECT_EQ(file_text(),
            "r f0000010 00000001\n"
            "r fcc00000 0100004b\n"
            "r 24000000 00000000  // * 20\n"
            "w 24000000 0000abcd\n"
            "r 24000100 04030201\n"
            "r 24000104 0605\n");
}

// Mesh discovery reads its three geometry words in register order.
TEST_F(HwDumpFile, MeshDiscoveryReadsTheGeometryWordsInOrder) {
  test::run_command("env -u NO_USB HW_DUMP=" + path_.string() + " " +
                    test::built_program("registry_child") + " --board --devices");
  const std::string text = file_text();
  std::vector<std::string> geometry_reads;
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);)
    for (const char* address : {"fcc00050", "fcc00054", "fcc00058"})
      if (line.rfind(std::string("r ") + address, 0) == 0) geometry_reads.push_back(address);
  EXPECT_EQ(geometry_reads, (std::vector<std::string>{"fcc00050", "fcc00054", "fcc00058"})) << text;
}

TEST_F(HwDumpFile, NothingIsWrittenWithoutTheVariable) {
  const std::string out = test::run_command("env -u NO_USB -u HW_DUMP " +
                                            test::built_program("registry_child") + " --board");
  EXPECT_EQ(out.find("Saving hardware dump"), std::string::npos) << out;
  EXPECT_FALSE(std::filesystem::exists(path_));
}

// Two threads record at once: every access is kept.
TEST_F(HwDumpFile, RecordsFromTwoThreadsAreAllKept) {
  test::run_command("env HW_DUMP=" + path_.string() + " " + test::built_program("registry_child") +
                    " --threads");
  const std::string text = file_text();
  std::istringstream lines(text);
  size_t writes = 0;
  for (std::string line; std::getline(lines, line);) writes += line[0] == 'w';
  EXPECT_EQ(writes, 4000u);
  EXPECT_NE(text.find("w 24001f3c 000007cf\n"), std::string::npos);
  EXPECT_NE(text.find("w 25001f3c 000007cf\n"), std::string::npos);
}

TEST(DriverRegistry, NoUsbGivesAnEmptyListAndOneMessage) {
  const std::string out =
      test::run_command("env -u JLINK_EN NO_USB=1 " + test::built_program("registry_child"));
  EXPECT_EQ(out, "USB driver disabled\ndrivers=0 same=1\n");
}

TEST(DriverRegistry, NoDriversGiveAnEmptyDeviceListBuiltOnce) {
  const std::string out = test::run_command("env -u JLINK_EN NO_USB=1 " +
                                            test::built_program("registry_child") + " --devices");
  EXPECT_EQ(out, "USB driver disabled\ndevices=0 same=1\n");
}

// A port that never answers is left out, with its read error printed: the
// registry and the device list are built (empty here), not broken.
TEST(DriverRegistry, APortThatNeverAnswersIsLeftOut) {
  const std::string out = test::run_command("env -u NO_USB -u JLINK_EN " +
                                            test::built_program("registry_child") + " --silent");
  EXPECT_NE(out.find("Error reading at 0xf0000010 len: 4 errno(110): Connection timed out; "
                     "status -3 (no reply) at 0xf0000010 on /dev/pts/"),
            std::string::npos)
      << out;
  EXPECT_TRUE(out.ends_with("\ndrivers=0 same=1\ndevices=0 same=1\n")) << out;
}

TEST(DriverRegistry, FindsTheBoardOnceAndItsFirstFrameCarriesTwo) {
  const std::string out =
      test::run_command("env -u NO_USB " + test::built_program("registry_child") + " --board");
  EXPECT_EQ(out,
            "Switched to bin commands\r\ndrivers=1 same=1\ndesc=USB/Orbi_v1\nfirst_sequence=2\n");
}

}  // namespace
}  // namespace morla
