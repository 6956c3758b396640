// The J-Link driver in a child process against the fake probe library: the
// connection sequence and its failures, the debug unlock, whole-length transfers
// and their errors, functions missing from the library, and when the probe is closed.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "driver_test_support.h"
#include "drivers/posix/jlink_library.h"
#include "drivers/posix/library_search.h"
#include "drivers/posix/xilinx_fpga.h"
#include "fake_probe.h"
#include "fpga_board_files.h"
#include "temp_folder.h"
#include "test_helpers.h"

namespace morla {
namespace {

using Calls = std::vector<std::string>;

const char* const kConnected = "JLINK opened\nSuccesfully connected to device 'Cortex-M4'\n";
// How a transfer error ends: the library it went through.
const std::string kOnLibrary = std::string(" on ") + MORLA_FAKE_JLINK;

// The connection sequence of a core that is already halted, the unlock writes and the
// start-up reads (SoC revision, hardware version).
const Calls kStartUp = {"Open",
                        "ConfigJTAG -1 -1",
                        "ExecCommand device=CORTEX-M4 null 0",
                        "TIF_Select 0",
                        "SetSpeed 12000",
                        "Connect",
                        "GetDeviceInfo 0",
                        "IsHalted",
                        "WriteMem e8012c00 4",
                        "WriteMem e8012008 4",
                        "ReadMem f0000010 4",
                        "ReadMem fcc00000 4"};

// The fake library's last line when it is unloaded while the probe is still open: how a
// built driver goes (it never closes the probe).
const char* const kUnloadedOpen = "unload with the connection open";

Calls concat(Calls head, const Calls& tail) {
  head.insert(head.end(), tail.begin(), tail.end());
  return head;
}

Calls last(const Calls& calls, size_t count) {
  return Calls(calls.end() - static_cast<std::ptrdiff_t>(std::min(count, calls.size())),
               calls.end());
}

class JlinkChild : public testing::Test {
 protected:
  JlinkChild() : probe_(sim::orbi_board(1), MORLA_FAKE_JLINK) {}

  // The child's output with the probe's environment, `variables` ("A=1 B=2") and
  // `steps` (see jlink_child).
  std::string run(const std::string& variables, const std::string& steps = "") {
    return test::run_command("env -u HW_DUMP " + probe_.environment() + " " + variables + " " +
                             test::built_program("jlink_child") + " " + steps);
  }
  Calls calls() const { return probe_.calls(); }

  sim::FakeProbe probe_;
};

TEST_F(JlinkChild, WithoutJlinkEnTheLibraryIsNotLoadedAndNothingPrinted) {
  EXPECT_EQ(test::run_command("env -u JLINK_EN " + probe_.environment() + " " +
                              test::built_program("jlink_child")),
            "not available\n");
  EXPECT_EQ(calls(), Calls{});
}

TEST_F(JlinkChild, ConnectsUnlocksAndUnloadsWithoutClosing) {
  EXPECT_EQ(run("JLINK_EN=1"), std::string(kConnected) + "desc=Jlink/Orbi_v1\ndestroyed\n");
  EXPECT_EQ(calls(), concat(kStartUp, {kUnloadedOpen}));
}

TEST_F(JlinkChild, RunningCoreIsHaltedFirst) {
  EXPECT_EQ(
      run("JLINK_EN=1 FAKE_JLINK_RUNNING=1 FAKE_JLINK_DEVICE=M4-board"),
      "JLINK opened\nSuccesfully connected to device 'M4-board'\ndesc=Jlink/Orbi_v1\ndestroyed\n");
  const Calls got = calls();
  ASSERT_GE(got.size(), 9u);
  EXPECT_EQ(Calls(got.begin() + 7, got.begin() + 10),
            (Calls{"IsHalted", "Halt", "WriteMem e8012c00 4"}));
}

// Both unlock writes go through the driver's write: the hardware dump holds them.
TEST_F(JlinkChild, UnlockWritesAppearInTheHardwareDump) {
  sim::TempFolder folder("morla-jlink-dump");
  const std::string dump = folder.file("dump.txt");
  test::run_command("env " + probe_.environment() + " JLINK_EN=1 HW_DUMP=" + dump + " " +
                    test::built_program("jlink_child"));
  std::ifstream in(dump);
  const std::string text(std::istreambuf_iterator<char>(in), {});
  EXPECT_EQ(text,
            "w e8012c00 6b2d94f0\n"
            "w e8012008 00000000\n"
            "r f0000010 00000001\n"
            "r fcc00000 0100004b\n");
}

struct StartUpFailure {
  const char* name;
  std::string variables;
  std::string printed;  // before "not available"
  Calls last_calls;     // the last calls the library received
};

class JlinkStartUpFailure : public JlinkChild,
                            public testing::WithParamInterface<StartUpFailure> {};

// Every failure of the start-up leaves no driver; a connection that was opened is
// closed before the library goes.
TEST_P(JlinkStartUpFailure, GivesNoDriverAndClosesAnOpenedConnection) {
  const StartUpFailure& c = GetParam();
  EXPECT_EQ(run("JLINK_EN=1 " + c.variables), c.printed + "not available\n");
  EXPECT_EQ(last(calls(), c.last_calls.size()), c.last_calls);
}

INSTANTIATE_TEST_SUITE_P(
    Steps, JlinkStartUpFailure,
    testing::Values(
        StartUpFailure{
            "library missing", "MORLA_JLINK_LIBRARY=/nonexistent/libjlinkarm.so", "", {}},
        StartUpFailure{"open refused", "FAKE_JLINK_FAIL=open", "", {"Open", "Close", "unload"}},
        StartUpFailure{"device command refused",
                       "FAKE_JLINK_FAIL=exec",
                       "JLINK opened\n",
                       {"ExecCommand device=CORTEX-M4 null 0", "Close", "unload"}},
        StartUpFailure{"connect refused",
                       "FAKE_JLINK_FAIL=connect",
                       "JLINK opened\nUnable to connect to JLink: error #-258\n",
                       {"Connect", "Close", "unload"}},
        StartUpFailure{"no device info",
                       "FAKE_JLINK_FAIL=info",
                       "JLINK opened\nFailed to retrieve device infos\n",
                       {"GetDeviceInfo 0", "Close", "unload"}},
        StartUpFailure{"halt refused",
                       "FAKE_JLINK_RUNNING=1 FAKE_JLINK_FAIL=halt",
                       std::string(kConnected) + "Failed to halt M4 core\n",
                       {"Halt", "Close", "unload"}},
        StartUpFailure{"unlock write short",
                       "FAKE_JLINK_FAIL=write FAKE_JLINK_FAIL_AT=e8012c00",
                       std::string(kConnected) +
                           "Unable to write at address 0xe8012c00; probe wrote 3 of 4 bytes" +
                           kOnLibrary + "\n",
                       {"WriteMem e8012c00 4", "Close", "unload"}},
        StartUpFailure{"version read fails",
                       "FAKE_JLINK_FAIL=read FAKE_JLINK_FAIL_AT=fcc00000",
                       std::string(kConnected) +
                           "Unable to read at address 0xfcc00000; probe result -1" + kOnLibrary +
                           "\n",
                       {"ReadMem fcc00000 4", "Close", "unload"}},
        StartUpFailure{"open missing", "FAKE_JLINK_MISSING=JLINKARM_Open", "", {"unload"}},
        StartUpFailure{"connect missing",
                       "FAKE_JLINK_MISSING=JLINKARM_Connect",
                       "JLINK opened\n",
                       {"SetSpeed 12000", "Close", "unload"}},
        StartUpFailure{"close missing",
                       "FAKE_JLINK_FAIL=connect FAKE_JLINK_MISSING=JLINKARM_Close",
                       "JLINK opened\nUnable to connect to JLink: error #-258\n",
                       {"Connect", kUnloadedOpen}},
        StartUpFailure{"write missing",
                       "FAKE_JLINK_MISSING=JLINKARM_WriteMem",
                       std::string(kConnected) +
                           "Unable to write at address 0xe8012c00; JLINKARM_WriteMem not found" +
                           kOnLibrary + "\n",
                       {"IsHalted", "Close", "unload"}}),
    test::names_by([](const StartUpFailure& c) { return c.name; }));

TEST_F(JlinkChild, MissingLibraryIsNeverCalled) {
  run("JLINK_EN=1 MORLA_JLINK_LIBRARY=/nonexistent/libjlinkarm.so");
  EXPECT_EQ(calls(), Calls{});
}

// A truncated copy of the library is never loaded, wherever it was cut (in the ELF header,
// in the program header table, or in the segments, which the loader maps) and however it
// was found: named by the variable, or found for the bare name on the loader's search path
// (where a whole copy is loaded by the path found).
TEST_F(JlinkChild, TruncatedLibraryIsNeverLoaded) {
  std::ifstream in(MORLA_FAKE_JLINK, std::ios::binary);
  const std::string whole(std::istreambuf_iterator<char>(in), {});
  ASSERT_GT(whole.size(), 4096u);
  sim::TempFolder folder("morla-jlink-cut");
  const std::string bare = folder.file(kJlinkLibraryName);
  const std::string search =
      std::string(kJlinkLibraryVariable) + "= LD_LIBRARY_PATH=" + folder.path().string();
  for (const size_t size : {size_t{0}, size_t{63}, size_t{100}, size_t{2000}, whole.size() / 2}) {
    const std::string cut = folder.file("lib" + std::to_string(size) + ".so");
    std::ofstream(cut, std::ios::binary) << whole.substr(0, size);
    std::ofstream(bare, std::ios::binary | std::ios::trunc) << whole.substr(0, size);
    for (const auto& [variables, file] :
         {std::pair{kJlinkLibraryVariable + ("=" + cut), cut}, std::pair{search, bare}})
      EXPECT_EQ(run("JLINK_EN=1 " + variables),
                file + " is not a whole ELF shared object: the J-Link library is not loaded\n" +
                    "not available\n")
          << size;
  }
  EXPECT_EQ(calls(), Calls{});
  std::ofstream(bare, std::ios::binary | std::ios::trunc) << whole;
  EXPECT_EQ(run("JLINK_EN=1 " + search),
            std::string(kConnected) + "desc=Jlink/Orbi_v1\ndestroyed\n");
}

// A bare name resolves to the file the loader itself took for it (the C library, found
// through the loader's folders or its cache).
TEST(LibrarySearch, FindsTheFileTheLoaderLoaded) {
  Dl_info info;
  ASSERT_NE(dladdr(reinterpret_cast<void*>(&std::printf), &info), 0);
  const std::string loaded = info.dli_fname;
  const std::string name = std::filesystem::path(loaded).filename().string();
  EXPECT_TRUE(std::filesystem::equivalent(find_shared_library(name), loaded)) << loaded;
  for (const std::string& path : cached_library_paths("/etc/ld.so.cache", name))
    EXPECT_TRUE(std::filesystem::exists(path)) << path;
  EXPECT_EQ(find_shared_library("libmorla-no-such-library.so"), "");
}

// A transfer of any length is one probe call, and written memory reads back.
TEST_F(JlinkChild, TransfersGoWholeToTheProbe) {
  const std::string out = run("JLINK_EN=1", "write:24000001:1048576 read:24000001:1048576");
  EXPECT_EQ(out,
            std::string(kConnected) + "desc=Jlink/Orbi_v1\nwritten\nread 281b0e01\ndestroyed\n");
  EXPECT_EQ(last(calls(), 3),
            (Calls{"WriteMem 24000001 1048576", "ReadMem 24000001 1048576", kUnloadedOpen}));
}

struct TransferFailure {
  const char* name;
  std::string steps;
  std::string error;
};

class JlinkTransferFailure : public JlinkChild,
                             public testing::WithParamInterface<TransferFailure> {};

// After start-up a failing transfer, or a function that the library no longer
// exports, is the transfer's error; the driver goes on and is destroyed as usual.
TEST_P(JlinkTransferFailure, IsTheTransferError) {
  const TransferFailure& c = GetParam();
  EXPECT_EQ(run("JLINK_EN=1", c.steps + " read:f0000010:4"),
            std::string(kConnected) + "desc=Jlink/Orbi_v1\nerror: " + c.error +
                "\nread 00000001\ndestroyed\n");
  EXPECT_EQ(last(calls(), 2), (Calls{"ReadMem f0000010 4", kUnloadedOpen}));
}

INSTANTIATE_TEST_SUITE_P(
    Transfers, JlinkTransferFailure,
    testing::Values(
        TransferFailure{"failed read",
                        "set:FAKE_JLINK_FAIL=read set:FAKE_JLINK_FAIL_AT=24000400 read:24000400:64",
                        "Unable to read at address 0x24000400; probe result -1" + kOnLibrary},
        TransferFailure{
            "short write", "set:FAKE_JLINK_FAIL=write write:2400abc0:16 set:FAKE_JLINK_FAIL=",
            "Unable to write at address 0x2400abc0; probe wrote 15 of 16 bytes" + kOnLibrary},
        TransferFailure{
            "read missing later",
            "set:FAKE_JLINK_MISSING=JLINKARM_ReadMem read:24000000:4 set:FAKE_JLINK_MISSING=",
            "Unable to read at address 0x24000000; JLINKARM_ReadMem not found" + kOnLibrary},
        TransferFailure{
            "write missing later",
            "set:FAKE_JLINK_MISSING=JLINKARM_WriteMem write:24000000:4 set:FAKE_JLINK_MISSING=",
            "Unable to write at address 0x24000000; JLINKARM_WriteMem not found" + kOnLibrary}),
    test::names_by([](const TransferFailure& c) { return c.name; }));

// A library that lost its Close: the built driver, which never calls it, still goes.
TEST_F(JlinkChild, CloseMissingAtTheEndStillUnloads) {
  EXPECT_EQ(run("JLINK_EN=1", "set:FAKE_JLINK_MISSING=JLINKARM_Close"),
            std::string(kConnected) + "desc=Jlink/Orbi_v1\ndestroyed\n");
  EXPECT_EQ(last(calls(), 2), (Calls{"ReadMem fcc00000 4", kUnloadedOpen}));
}

// The device list of a process with a probe and an FPGA board attached: one device
// through each, in registry order.
TEST_F(JlinkChild, DeviceListHasABoardThroughEachDriver) {
  sim::FpgaBoardFiles fpga(sim::orbi_board(1), 1127);
  const std::string out =
      test::run_command("env -u HW_DUMP NO_USB=1 JLINK_EN=1 " + probe_.environment() + " " +
                        kFpgaDevicePrefixVariable + "=" + fpga.prefix() + " " +
                        test::built_program("registry_child") + " --devices");
  EXPECT_EQ(out, std::string("USB driver disabled\n") + kConnected +
                     "devices=2 same=1\ndesc=Jlink/Orbi_v1\ndesc=fpga-Orbi_v2\n");
}

}  // namespace
}  // namespace morla
