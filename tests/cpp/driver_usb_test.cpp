// The USB driver against the board simulator: discovery, handshake, round trips,
// the frames on the wire, and every injected fault.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <algorithm>
#include <chrono>
#include <memory>
#include <numeric>
#include <stdexcept>
#include <string>
#include <thread>
#include <tuple>

#include "core/device_versions.h"
#include "driver_test_support.h"
#include "drivers/bin_protocol.h"
#include "drivers/driver_errors.h"
#include "drivers/posix/usb_port_discovery.h"
#include "drivers/transport_error.h"
#include "drivers/usb_serial.h"
#include "test_helpers.h"

namespace morla {
namespace {

constexpr uint32_t kMemory = 0x24000000;
// Every wait of these tests' drivers: time-outs come fast.
const DriverDeadlines kShort = test::short_deadlines();

std::vector<uint8_t> pattern(size_t n, uint8_t seed) {
  std::vector<uint8_t> bytes(n);
  for (size_t i = 0; i < n; ++i) bytes[i] = static_cast<uint8_t>(i * 7 + seed + (i >> 10));
  return bytes;
}

TEST(UsbDriver, IsFoundThroughTheSerialPortVariable) {
  sim::BoardSimulator board(sim::orbi_board(3), false, kShort);
  testing::internal::CaptureStdout();
  const auto driver = test::usb_driver_on(board);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "Switched to bin commands\r\n");
  EXPECT_STREQ(driver->desc(), "USB/Orbi_v3");
  EXPECT_EQ(driver->hw_version(), devices::Orbi_v1);
  EXPECT_EQ(driver->memory_base(), 0x24000000u);
  EXPECT_EQ(driver->memory_size(), 0x0C000000u);
  EXPECT_TRUE(board.in_binary_mode());
}

TEST(UsbDriver, BoardLeftInBinaryModeIsSentBackToItsShellFirst) {
  sim::BoardSimulator board(sim::orbi_board(2), /*start_in_binary_mode=*/true, kShort);
  const auto driver = test::usb_driver_on(board);
  EXPECT_STREQ(driver->desc(), "USB/Orbi_v2");
  const auto frames = board.frames();
  ASSERT_GE(frames.size(), 2u);
  EXPECT_EQ(frames[0].command, bin::kLeaveBinary);
  EXPECT_EQ(frames[1].address, 0xF0000010u);
}

TEST(UsbDriver, IsNotAvailableWithoutABoardOrWithNoUsb) {
  setenv("MORLA_SERIAL_PORT", "/nonexistent/ttyMORLA", 1);
  unsetenv("NO_USB");
  EXPECT_THROW(UsbDriver(), DriverNotAvailable);
  sim::BoardSimulator board(sim::orbi_board(), false, kShort);
  setenv("MORLA_SERIAL_PORT", board.port_path().c_str(), 1);
  setenv("NO_USB", "", 1);
  testing::internal::CaptureStdout();
  EXPECT_THROW(UsbDriver(), DriverNotAvailable);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "USB driver disabled\n");
  EXPECT_TRUE(board.frames().empty());
  unsetenv("NO_USB");
}

// A port that a driver holds is no port for a second one: the named port's line says
// why, nothing reaches the board, and the holder's exchanges go on; once the holder has
// gone, the port opens again.
TEST(UsbDriver, HeldPortIsNoPortAndTheLoserWritesNothing) {
  sim::BoardSimulator board(sim::orbi_board(1), false, kShort);
  auto holder = test::usb_driver_on(board);
  const uint32_t version = read_register(*holder, 0xF0000010);
  board.set_wire_capture(true);
  const size_t frames = board.frames().size();
  testing::internal::CaptureStdout();
  EXPECT_THROW(UsbDriver{kShort}, DriverNotAvailable);
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "MORLA_SERIAL_PORT names " + board.port_path() +
                ", which cannot be opened: held by another process\n");
  EXPECT_TRUE(board.take_wire().empty());
  EXPECT_EQ(board.frames().size(), frames);
  EXPECT_EQ(read_register(*holder, 0xF0000010), version);
  holder.reset();
  testing::internal::CaptureStdout();
  EXPECT_STREQ(test::usb_driver_on(board)->desc(), "USB/Orbi_v1");
  testing::internal::GetCapturedStdout();
}

// A tty with nothing behind it passes the handshake (a silent port counts as an
// answer) but not the first binary read: the driver prints that read's error and
// is not available, so that the registry goes on with other boards.
TEST(UsbDriver, SilentPortIsNotAvailableAndItsReadErrorIsPrinted) {
  const int master = posix_openpt(O_RDWR | O_NOCTTY);
  ASSERT_GE(master, 0);
  ASSERT_EQ(grantpt(master), 0);
  ASSERT_EQ(unlockpt(master), 0);
  const std::string port = ptsname(master);
  setenv("MORLA_SERIAL_PORT", port.c_str(), 1);
  unsetenv("NO_USB");
  testing::internal::CaptureStdout();
  EXPECT_THROW(UsbDriver{kShort}, DriverNotAvailable);
  const std::string printed = testing::internal::GetCapturedStdout();
  EXPECT_NE(printed.find("timeout waiting response\r\n"), std::string::npos) << printed;
  EXPECT_NE(printed.find("Error reading at 0xf0000010 len: 4 errno(110): Connection timed out; "
                         "status -3 (no reply) at 0xf0000010 on " +
                         port + "\n"),
            std::string::npos)
      << printed;
  close(master);
}

// A console that keeps printing without ever showing its prompt ends the wait for
// the prompt at its deadline; the board is then used as usual.
TEST(UsbDriver, ChatteringConsoleEndsThePromptWaitAtItsDeadline) {
  sim::BoardSimulator board(sim::orbi_board(1), false, kShort);
  board.set_console_chatter(8000);
  testing::internal::CaptureStdout();
  const auto start = std::chrono::steady_clock::now();
  const auto driver = test::usb_driver_on(board);
  const auto elapsed = std::chrono::steady_clock::now() - start;
  const std::string printed = testing::internal::GetCapturedStdout();
  EXPECT_LT(elapsed, kShort.prompt + std::chrono::milliseconds(2000));
  EXPECT_EQ(printed, "No \"morla>\" prompt from " + board.port_path() + " within " +
                         std::to_string(kShort.prompt.count()) +
                         " ms\nSwitched to bin commands\r\n");
  EXPECT_STREQ(driver->desc(), "USB/Orbi_v1");
}

// A reply that comes after the host has given up on it is never taken for the
// answer to a later command: neither by a command sent at once, nor by one sent
// after the late reply has arrived.
TEST(UsbDriver, ALateReplyIsNotTakenForALaterOne) {
  sim::BoardSimulator board(sim::orbi_board(), false, kShort);
  const auto driver = test::usb_driver_on(board);
  const uint32_t late = kMemory, first = kMemory + 4, second = kMemory + 8;
  board.memory().write_word(late, 0x5A5A5A5A);
  board.memory().write_word(first, 0x11111111);
  board.memory().write_word(second, 0x22222222);
  board.inject_fault(sim::Fault::LateReply, 1);
  uint32_t word = 0;
  testing::internal::CaptureStdout();
  EXPECT_THROW(driver->read(late, &word, 4), TransportError);
  testing::internal::GetCapturedStdout();
  driver->read(first, &word, 4);
  EXPECT_EQ(word, 0x11111111u);
  std::this_thread::sleep_for(std::chrono::milliseconds(2 * board.late_reply_ms()) -
                              kShort.reply_byte);
  for (const auto& [address, expected] : {std::pair{second, 0x22222222u}, {first, 0x11111111u}}) {
    driver->read(address, &word, 4);
    EXPECT_EQ(word, expected) << std::hex << address;
  }
}

// Where a transfer failed is in its error: errno, status, the piece and the port.
TEST(UsbDriver, TransferErrorNamesItsCauseThePieceAndThePort) {
  sim::BoardSimulator board(sim::orbi_board(), false, kShort);
  const auto driver = test::usb_driver_on(board);
  board.inject_fault(sim::Fault::Silence, 2);
  std::vector<uint8_t> buffer(2048);
  testing::internal::CaptureStdout();
  EXPECT_EQ(test::error_text<TransportError>(
                [&] { driver->read(kMemory, buffer.data(), buffer.size()); }),
            "Error reading at 0x24000000 len: 2048 errno(110): Connection timed out; "
            "status -3 (no reply) at 0x24000400 on " +
                board.port_path());
  testing::internal::GetCapturedStdout();
}

// A transfer that fails while a register is polled says what was awaited.
TEST(UsbDriver, TransferErrorInAPollNamesWhatWasAwaited) {
  sim::BoardSimulator board(sim::orbi_board(), false, kShort);
  const auto driver = test::usb_driver_on(board);
  // The clock change: one read, four writes, then the poll of the change bit.
  board.inject_fault(sim::Fault::Silence, 6);
  testing::internal::CaptureStdout();
  const std::string text =
      test::error_text<TransportError>([&] { driver->set_clock_mode(soc::ClockMode::Economy); });
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(text.rfind("Error reading at 0xf0001030 len: 4 errno(110): ", 0), 0u) << text;
  EXPECT_TRUE(text.ends_with(" while waiting for the clock change to complete")) << text;
}

// The simulated board, or the real one on test::real_board_port().
enum class Board { Simulated, Real };

class UsbRoundTrip : public testing::TestWithParam<std::tuple<Board, size_t>> {};

TEST_P(UsbRoundTrip, WritesAndReadsBackEveryByte) {
  const auto [kind, length] = GetParam();
  std::unique_ptr<sim::BoardSimulator> board;
  std::unique_ptr<UsbDriver> driver;
  if (kind == Board::Real) {
    if (test::real_board_port().empty()) GTEST_SKIP() << "no MORLA_TEST_BOARD_PORT given";
    driver = test::usb_driver_on_port(test::real_board_port());
  } else {
    board = std::make_unique<sim::BoardSimulator>(sim::orbi_board(), false, kShort);
    driver = test::usb_driver_on(*board);
  }
  const uint32_t address = driver->memory_base() + 1;
  const size_t frames_before = board ? board->frames().size() : 0;
  const auto data = pattern(length, 3);
  driver->write(address, data.data(), data.size());
  std::vector<uint8_t> back(length, 0xEE);
  driver->read(address, back.data(), back.size());
  EXPECT_EQ(back, data);
  if (!board) return;
  std::vector<uint8_t> direct(length);
  board->memory().read(address, direct.data(), length);
  EXPECT_EQ(direct, data);
  const size_t pieces = (length + 1023) / 1024;
  EXPECT_EQ(board->frames().size() - frames_before, 2 * pieces);
  EXPECT_EQ(board->protocol_errors(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Sizes, UsbRoundTrip,
                         testing::Combine(testing::Values(Board::Simulated, Board::Real),
                                          testing::Values(1, 4, 1023, 1024, 1025, size_t{1} << 20)),
                         test::names_by([](const std::tuple<Board, size_t>& c) {
                           return std::string(std::get<0>(c) == Board::Real ? "real_"
                                                                            : "simulated_") +
                                  std::to_string(std::get<1>(c)) + "_bytes";
                         }));

TEST(UsbWire, FramesMatchHandWrittenBytes) {
  sim::BoardSimulator board(sim::orbi_board(), false, kShort);
  const auto driver = test::usb_driver_on(board);
  board.set_wire_capture(true);
  const auto data = pattern(1500, 9);
  const uint32_t sequence = bin_sequence_number();
  driver->write(0x24000010, data.data(), data.size());
  std::vector<uint8_t> expected = {0xAA, 0x00, 0x00, 0x04, 0x10, 0x02, 0x00, 0x00, 0x00};
  for (int i = 0; i < 4; ++i) expected.push_back(uint8_t((sequence + 1) >> (8 * i)));
  expected.insert(expected.end(), {0x10, 0x00, 0x00, 0x24, 0x00, 0x04, 0x00, 0x00});
  expected.insert(expected.end(), data.begin(), data.begin() + 1024);
  expected.push_back(0x00);
  expected.insert(expected.end(), {0xAA, 0x00, 0x00, 0x01, 0xEC, 0x02, 0x00, 0x00, 0x00});
  for (int i = 0; i < 4; ++i) expected.push_back(uint8_t((sequence + 2) >> (8 * i)));
  expected.insert(expected.end(), {0x10, 0x04, 0x00, 0x24, 0xDC, 0x01, 0x00, 0x00});
  expected.insert(expected.end(), data.begin() + 1024, data.end());
  EXPECT_EQ(board.take_wire(), expected);

  uint8_t none = 0;
  driver->read(0x24000010, &none, 0);
  EXPECT_TRUE(board.take_wire().empty());
}

struct InjectedFault {
  const char* name;
  sim::Fault fault;
  bool read;
  uint32_t frame;                    // which piece of a 4-piece transfer meets the fault
  uint32_t applied;                  // pieces the board wrote to its memory
  std::vector<std::string> printed;  // one of these is printed
  const char* cause;                 // how the error goes on after "errno("
};

constexpr const char* kTimedOut = "110): Connection timed out; status -3 (no reply)";
constexpr const char* kProtocol = "71): Protocol error; status -1 (reply length disagrees)";
constexpr const char* kGone = "5): Input/output error; status ";

class UsbFault : public testing::TestWithParam<InjectedFault> {};

// Every fault ends in the driver's error; the pieces before the faulty one are
// written where they belong and nothing after it reaches the memory.
TEST_P(UsbFault, EndsInTheDriverError) {
  const InjectedFault& c = GetParam();
  sim::BoardSimulator board(sim::orbi_board(), false, kShort);
  const auto driver = test::usb_driver_on(board);
  const size_t before = board.frames().size();
  const auto data = pattern(4096, 5);
  board.inject_fault(c.fault, c.frame);
  std::vector<uint8_t> buffer = data;
  testing::internal::CaptureStdout();
  const std::string text = test::error_text<TransportError>([&] {
    if (c.read)
      driver->read(kMemory, buffer.data(), buffer.size());
    else
      driver->write(kMemory, data.data(), data.size());
  });
  const std::string prefix = c.read ? "Error reading at 0x24000000 len: 4096 errno("
                                    : "Error writing  at 0x24000000 len: 4096 errno(";
  EXPECT_EQ(text.rfind(prefix + c.cause, 0), 0u) << text;
  char piece[64];
  std::snprintf(piece, sizeof piece, " at 0x%x on ", kMemory + 1024 * (c.frame - 1));
  EXPECT_TRUE(text.ends_with(piece + board.port_path())) << text;
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_TRUE(std::any_of(c.printed.begin(), c.printed.end(), [&](const std::string& text) {
    return out.find(text) != std::string::npos;
  })) << out;
  const auto frames = board.frames();
  ASSERT_EQ(frames.size() - before, c.frame);
  for (size_t i = before; i < frames.size(); ++i) {
    EXPECT_EQ(frames[i].address, kMemory + 1024 * (i - before));
    EXPECT_EQ(frames[i].applied, i - before < c.applied);
  }
  std::vector<uint8_t> after(4096);
  board.memory().read(kMemory, after.data(), after.size());
  const size_t written = 1024 * size_t{c.applied};
  EXPECT_TRUE(std::equal(after.begin(), after.begin() + written, data.begin()));
  EXPECT_TRUE(std::all_of(after.begin() + written, after.end(), [](uint8_t b) { return b == 0; }));
}

INSTANTIATE_TEST_SUITE_P(
    Faults, UsbFault,
    testing::Values(InjectedFault{"SilenceOnRead",
                                  sim::Fault::Silence,
                                  true,
                                  2,
                                  0,
                                  {"timeout waiting response"},
                                  kTimedOut},
                    InjectedFault{"SilenceOnWrite",
                                  sim::Fault::Silence,
                                  false,
                                  3,
                                  2,
                                  {"timeout waiting response"},
                                  kTimedOut},
                    InjectedFault{"GarbageFlood",
                                  sim::Fault::GarbageFlood,
                                  true,
                                  1,
                                  0,
                                  {"timeout waiting response"},
                                  kTimedOut},
                    InjectedFault{"WrongLengthOnRead",
                                  sim::Fault::WrongLengthField,
                                  true,
                                  2,
                                  0,
                                  {"error with data len: expected 1024, got 1025"},
                                  kProtocol},
                    InjectedFault{"WrongLengthOnWrite",
                                  sim::Fault::WrongLengthField,
                                  false,
                                  1,
                                  1,
                                  {"error with data len: expected 0, got 1"},
                                  kProtocol},
                    InjectedFault{"ShortReadReply",
                                  sim::Fault::ShortReadReply,
                                  true,
                                  2,
                                  0,
                                  {"unexpected response size: expected 1024 got 1000"},
                                  kProtocol},
                    InjectedFault{"PartialData",
                                  sim::Fault::PartialData,
                                  true,
                                  3,
                                  0,
                                  {"error reading len (512)"},
                                  "110): Connection timed out; status -2 (reply cut short)"},
                    // The hang-up may discard the reply bytes still in the tty.
                    InjectedFault{"VanishDuringRead",
                                  sim::Fault::VanishMidTransfer,
                                  true,
                                  2,
                                  0,
                                  {"error reading len (", "timeout waiting response"},
                                  kGone},
                    InjectedFault{"VanishDuringWrite",
                                  sim::Fault::VanishMidTransfer,
                                  false,
                                  2,
                                  1,
                                  {"Error writing data", "timeout waiting response"},
                                  kGone}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(UsbFault, GarbageBeforeTheReplyMarkerIsSkipped) {
  sim::BoardSimulator board(sim::orbi_board(), false, kShort);
  const auto driver = test::usb_driver_on(board);
  board.inject_fault(sim::Fault::GarbageBeforeReply, 1);
  board.inject_fault(sim::Fault::GarbageBeforeReply, 2);
  const auto data = pattern(2048, 1);
  driver->write(kMemory, data.data(), 1024);
  driver->write(kMemory + 1024, data.data() + 1024, 1024);
  std::vector<uint8_t> back(2048);
  driver->read(kMemory, back.data(), back.size());
  EXPECT_EQ(back, data);
}

TEST(UsbFault, VanishedPortFailsEveryLaterAccessAtOnce) {
  sim::BoardSimulator board(sim::orbi_board(), false, kShort);
  const auto driver = test::usb_driver_on(board);
  board.inject_fault(sim::Fault::VanishMidTransfer, 1);
  uint32_t word = 0;
  testing::internal::CaptureStdout();
  EXPECT_THROW(driver->read(kMemory, &word, 4), std::runtime_error);
  EXPECT_THROW(driver->write(kMemory, &word, 4), std::runtime_error);
  EXPECT_THROW(driver->read(kMemory, &word, 4), std::runtime_error);
  testing::internal::GetCapturedStdout();
}

// A fake sysfs: two ttys, one below a USB device with the maker's identifiers.
TEST(UsbPortDiscovery, FindsTheTtyBelowTheMakersUsbDevice) {
  namespace fs = std::filesystem;
  const fs::path root = fs::temp_directory_path() / ("morla_sysfs_" + std::to_string(getpid()));
  fs::remove_all(root);
  auto usb_device = [&](const char* name, const char* vendor, const char* product) {
    const fs::path dir = root / "devices" / name;
    fs::create_directories(dir / (std::string(name) + ":1.0"));
    std::ofstream(dir / "idVendor") << vendor << "\n";
    std::ofstream(dir / "idProduct") << product << "\n";
    return dir / (std::string(name) + ":1.0");
  };
  fs::create_directories(root / "class" / "tty" / "ttyACM0");
  fs::create_directories(root / "class" / "tty" / "ttyACM1");
  fs::create_directories(root / "class" / "tty" / "tty0");
  fs::create_directory_symlink(usb_device("1-1", "1234", kBoardUsbProductId),
                               root / "class" / "tty" / "ttyACM0" / "device");
  EXPECT_FALSE(find_board_tty(root.string()).has_value());
  fs::create_directory_symlink(usb_device("1-2", kBoardUsbVendorId, kBoardUsbProductId),
                               root / "class" / "tty" / "ttyACM1" / "device");
  EXPECT_EQ(find_board_tty(root.string()), "ttyACM1");
  EXPECT_FALSE(find_board_tty((root / "missing").string()).has_value());
  fs::remove_all(root);
}

}  // namespace
}  // namespace morla
