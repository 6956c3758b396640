// Driver files named by the user (FPGA board files, the J-Link library, the hardware dump)
// that are directories, empty files or FIFOs: each is refused at once instead of blocking
// the process on a FIFO that nobody opens from the other end.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>

#include "board_config.h"
#include "drivers/driver_errors.h"
#include "drivers/fpga_driver.h"
#include "drivers/posix/dl_handle.h"
#include "drivers/posix/text_file.h"
#include "fpga_board_files.h"
#include "temp_folder.h"
#include "test_helpers.h"

namespace morla {
namespace {

constexpr uint32_t kOrbiV1Id = 1066;

// The exit code of `body` run in a child process, or -1 when the child has not ended
// within five seconds (it is then killed): a call that blocks fails the test instead of
// hanging the suite.
int exit_code_in_child(const std::function<int()>& body) {
  const pid_t child = fork();
  if (child == 0) _exit(body());
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  int status = 0;
  while (waitpid(child, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > deadline) {
      kill(child, SIGKILL);
      waitpid(child, &status, 0);
      return -1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

enum class Odd { Fifo, Directory, Empty };

void make_odd(const std::string& path, Odd kind) {
  std::filesystem::remove(path);
  switch (kind) {
    case Odd::Fifo: ASSERT_EQ(mkfifo(path.c_str(), 0600), 0); break;
    case Odd::Directory: std::filesystem::create_directory(path); break;
    case Odd::Empty: std::ofstream{path}; break;
  }
}

const char* odd_name(Odd kind) {
  return kind == Odd::Fifo ? "fifo" : kind == Odd::Directory ? "directory" : "empty";
}

struct FpgaFileCase {
  const char* suffix;
  Odd kind;
};

class FpgaOddFile : public testing::TestWithParam<FpgaFileCase> {};

TEST_P(FpgaOddFile, LeavesTheBoardOutWithoutBlocking) {
  sim::FpgaBoardFiles files(sim::orbi_board(1), kOrbiV1Id);
  make_odd(files.prefix() + "0_" + GetParam().suffix, GetParam().kind);
  EXPECT_EQ(exit_code_in_child([&] {
              try {
                FPGADriver driver(files.prefix());
              } catch (const DriverNotAvailable&) {
                return 0;
              }
              return 1;
            }),
            0);
}

INSTANTIATE_TEST_SUITE_P(Files, FpgaOddFile,
                         testing::Values(FpgaFileCase{"c2h_0", Odd::Fifo},
                                         FpgaFileCase{"h2c_0", Odd::Fifo},
                                         FpgaFileCase{"user", Odd::Fifo},
                                         FpgaFileCase{"c2h_0", Odd::Directory},
                                         FpgaFileCase{"user", Odd::Empty}),
                         test::names_by([](const FpgaFileCase& c) {
                           return std::string(c.suffix) + "_" + odd_name(c.kind);
                         }));

class LibraryOddFile : public testing::TestWithParam<Odd> {};

TEST_P(LibraryOddFile, IsNoLibraryAndDoesNotBlock) {
  sim::TempFolder folder("morla-odd-library");
  const std::string path = folder.file("libjlink.so");
  make_odd(path, GetParam());
  EXPECT_EQ(exit_code_in_child([&] {
              try {
                DlHandle library(path);
              } catch (const DlHandleError&) {
                return 0;
              }
              return 1;
            }),
            0);
}

INSTANTIATE_TEST_SUITE_P(Files, LibraryOddFile,
                         testing::Values(Odd::Fifo, Odd::Directory, Odd::Empty),
                         test::names_by([](Odd kind) { return std::string(odd_name(kind)); }));

TEST(TextFile, ReplacesARegularFile) {
  sim::TempFolder folder("morla-text-file");
  const std::string path = folder.file("dump.txt");
  std::ofstream{path} << "an older and longer text";
  EXPECT_EQ(write_text_file(path, "r 00000000 00000001\n"), "");
  std::stringstream text;
  text << std::ifstream(path).rdbuf();
  EXPECT_EQ(text.str(), "r 00000000 00000001\n");
}

TEST(TextFile, RefusesADirectoryAndAFifoWithoutReader) {
  sim::TempFolder folder("morla-text-file");
  EXPECT_EQ(write_text_file(folder.path().string(), "x"), "Is a directory");
  const std::string fifo = folder.file("fifo");
  make_odd(fifo, Odd::Fifo);
  EXPECT_EQ(exit_code_in_child([&] { return write_text_file(fifo, "x").empty() ? 1 : 0; }), 0);
}

TEST(TextFile, WritesToAFifoThatHasAReader) {
  sim::TempFolder folder("morla-text-file");
  const std::string fifo = folder.file("fifo");
  make_odd(fifo, Odd::Fifo);
  const int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
  ASSERT_GE(reader, 0);
  EXPECT_EQ(write_text_file(fifo, "words\n"), "");
  char buffer[16] = {};
  EXPECT_EQ(read(reader, buffer, sizeof buffer), 6);
  EXPECT_STREQ(buffer, "words\n");
  close(reader);
}

}  // namespace
}  // namespace morla
