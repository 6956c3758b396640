// The binary protocol against a scripted port: frames byte for byte, replies,
// result codes and their messages, and the cutting of transfers into pieces.
#include <gtest/gtest.h>

#include <cerrno>
#include <numeric>
#include <stdexcept>
#include <string>
#include <tuple>
#include <vector>

#include "drivers/bin_protocol.h"
#include "scripted_port.h"

namespace morla {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes le32(uint32_t v) { return {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)}; }

Bytes cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

// A board's reply: marker, big-endian length, block.
Bytes reply_frame(uint32_t frame_length, uint32_t command, uint32_t length) {
  return cat({{0xAB, uint8_t(frame_length >> 24), uint8_t(frame_length >> 16),
               uint8_t(frame_length >> 8), uint8_t(frame_length)},
              le32(command),
              le32(7),
              le32(0x100),
              le32(length)});
}

TEST(FrameEncoder, MatchesHandWrittenBytes) {
  const auto header = encode_frame_header(0x00000410);
  EXPECT_EQ(Bytes(header.begin(), header.end()), (Bytes{0xAA, 0x00, 0x00, 0x04, 0x10}));
  const auto block = encode_bin_command({2, 0x01020304, 0xFCC00050, 1024});
  EXPECT_EQ(Bytes(block.begin(), block.end()), (Bytes{0x02, 0, 0, 0, 0x04, 0x03, 0x02, 0x01, 0x50,
                                                      0x00, 0xC0, 0xFC, 0x00, 0x04, 0, 0}));
  const BinCommand back = decode_bin_command(block.data());
  EXPECT_EQ(back.sequence, 0x01020304u);
  EXPECT_EQ(back.address, 0xFCC00050u);
}

// A write of a full piece: header, block, payload, then one extra 0x00.
TEST(BinWrite, FullPieceFrameIsFollowedByOneZeroByte) {
  sim::ScriptedPort port;
  port.queue(reply_frame(16, 2, 0));
  Bytes payload(1024);
  std::iota(payload.begin(), payload.end(), 0);
  const uint32_t sequence = bin_sequence_number() + 1;
  EXPECT_EQ(bin_write(port, 0x24000400, payload.data(), payload.size()), 1024);
  const Bytes expected = cat({{0xAA, 0x00, 0x00, 0x04, 0x10},
                              {0x02, 0, 0, 0},
                              le32(sequence),
                              {0x00, 0x04, 0x00, 0x24},
                              {0x00, 0x04, 0x00, 0x00},
                              payload,
                              {0x00}});
  EXPECT_EQ(port.written, expected);
}

TEST(BinWrite, ShorterPayloadHasNoExtraByte) {
  sim::ScriptedPort port;
  port.queue(reply_frame(16, 2, 0));
  const Bytes payload(1000, 0x11);
  EXPECT_EQ(bin_write(port, 0, payload.data(), payload.size()), 1000);
  EXPECT_EQ(port.written.size(), 21u + 1000u);
  EXPECT_EQ(port.written[1], 0x00);
  EXPECT_EQ(port.written[3], 0x03);  // L = 1016 = 0x3F8
  EXPECT_EQ(port.written[4], 0xF8);
}

TEST(BinRead, SkipsBytesBeforeTheMarkerAndDeliversTheData) {
  sim::ScriptedPort port;
  port.queue(cat({{0x00, 'm', 0xAA, 0x13}, reply_frame(20, 1, 4), {1, 2, 3, 4}}));
  uint8_t data[4] = {};
  EXPECT_EQ(bin_read(port, 0x100, data, 4), 4);
  EXPECT_EQ(Bytes(data, data + 4), (Bytes{1, 2, 3, 4}));
  EXPECT_EQ(port.written.size(), 21u);  // a read sends no payload
  EXPECT_EQ(port.written[5], 0x01);
}

// One scripted exchange that fails: the reply bytes, how many bytes the port
// accepts, the code, and the message printed.
struct FailingExchange {
  const char* name;
  bool read;
  Bytes reply;
  size_t write_budget;
  int64_t code;
  std::string message;
  int error_number;  // what the failure amounts to (the scripted port itself never fails)
};

class BinExchangeFailure : public testing::TestWithParam<FailingExchange> {};

TEST_P(BinExchangeFailure, GivesItsCodeAndMessage) {
  const FailingExchange& c = GetParam();
  sim::ScriptedPort port;
  port.queue(c.reply);
  port.write_budget = c.write_budget;
  uint8_t buffer[1024] = {};
  testing::internal::CaptureStdout();
  LinkFailure failure;
  const int64_t code = c.read ? bin_read(port, 0x100, buffer, 1024, &failure)
                              : bin_write(port, 0x100, buffer, 8, &failure);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), c.message);
  EXPECT_EQ(code, c.code);
  EXPECT_EQ(failure.status, c.code);
  EXPECT_EQ(failure.error_number, c.error_number);
  EXPECT_EQ(failure.address, 0x100u);
  EXPECT_TRUE(port.unsettled());
}

INSTANTIATE_TEST_SUITE_P(
    AllCodes, BinExchangeFailure,
    testing::Values(
        FailingExchange{
            "Silence", false, {}, SIZE_MAX, -3, "timeout waiting response\r\n", ETIMEDOUT},
        FailingExchange{"OnlyGarbage", false, Bytes(50, 0x55), SIZE_MAX, -3,
                        "timeout waiting response\r\n", ETIMEDOUT},
        FailingExchange{"TruncatedLength",
                        false,
                        {0xAB, 0x00, 0x00},
                        SIZE_MAX,
                        -2,
                        "error reading len (2)\r\n",
                        ETIMEDOUT},
        FailingExchange{"TruncatedBlock",
                        false,
                        {0xAB, 0, 0, 0, 16, 2, 0, 0},
                        SIZE_MAX,
                        -2,
                        "error reading len (3)\r\n",
                        ETIMEDOUT},
        FailingExchange{"LengthFieldDisagrees", false, reply_frame(16, 2, 5), SIZE_MAX, -1,
                        "error with data len: expected 0, got 5\n", EPROTO},
        FailingExchange{"ShortReadReply", true, cat({reply_frame(1016, 1, 1000), Bytes(1000)}),
                        SIZE_MAX, -1, "unexpected response size: expected 1024 got 1000\n", EPROTO},
        FailingExchange{"PartialData", true, cat({reply_frame(1040, 1, 1024), Bytes(300)}),
                        SIZE_MAX, -2, "error reading len (300)\r\n", ETIMEDOUT},
        FailingExchange{
            "HeaderNotWritten", false, {}, 3, -4, "Error writing header (3)\r\n", ETIMEDOUT},
        FailingExchange{
            "BlockNotWritten", false, {}, 9, -4, "Error writing bincmd header (4)\r\n", ETIMEDOUT},
        FailingExchange{
            "PayloadNotWritten", false, {}, 25, -4, "Error writing data (4)\r\n", ETIMEDOUT}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(BinExchange, APortThatFailsGivesItsOwnErrorNumber) {
  sim::ScriptedPort port;
  port.failed_with = EIO;
  uint8_t buffer[4];
  testing::internal::CaptureStdout();
  LinkFailure failure;
  EXPECT_EQ(bin_read(port, 0x200, buffer, 4, &failure), bin::kNoReply);
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(failure.error_number, EIO);
  EXPECT_EQ(failure.address, 0x200u);
}

// After a failed exchange the rest of its answer is still on the line; the next
// exchange discards it first and takes only its own reply.
TEST(BinExchange, TheNextExchangeDrainsWhatAFailedOneLeftOnTheLine) {
  sim::ScriptedPort port;
  // A reply announcing fewer bytes than asked, whose data (holding reply markers)
  // the host never reads.
  port.queue(cat({reply_frame(1016, 1, 1000), Bytes(1000, 0xAB)}));
  uint8_t buffer[1024];
  testing::internal::CaptureStdout();
  EXPECT_EQ(bin_read(port, 0x100, buffer, 1024), bin::kBadLength);
  testing::internal::GetCapturedStdout();
  EXPECT_TRUE(port.unsettled());
  port.queue_answer(cat({reply_frame(20, 1, 4), {1, 2, 3, 4}}));
  EXPECT_EQ(bin_read(port, 0x100, buffer, 4), 4);
  EXPECT_EQ(Bytes(buffer, buffer + 4), (Bytes{1, 2, 3, 4}));
  EXPECT_FALSE(port.unsettled());
  EXPECT_EQ(port.read_timeout(), 1000u);  // the drain restores the port's time-out
}

TEST(SwitchToBinCommands, WritesTheCommandAndReports) {
  sim::ScriptedPort port;
  testing::internal::CaptureStdout();
  EXPECT_EQ(switch_to_bin_commands(port), 0);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "Switched to bin commands\r\n");
  EXPECT_EQ(port.written, (Bytes{'b', 'i', 'n', '\n', '\r'}));
  port.write_budget = 2;
  testing::internal::CaptureStdout();
  EXPECT_EQ(switch_to_bin_commands(port), -4);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "Error switching to bin commands\r\n");
}

using Piece = std::tuple<uint32_t, size_t, size_t>;

std::vector<Piece> pieces_of(uint32_t address, size_t length) {
  std::vector<Piece> pieces;
  EXPECT_TRUE(transfer_in_chunks(
      [&](uint32_t a, size_t offset, size_t size) {
        pieces.emplace_back(a, offset, size);
        return static_cast<int64_t>(size);
      },
      address, length));
  return pieces;
}

TEST(TransferInChunks, CutsIntoPiecesOfAtMost1024) {
  EXPECT_TRUE(pieces_of(0x100, 0).empty());
  EXPECT_EQ(pieces_of(0x100, 1500), (std::vector<Piece>{{0x100, 0, 1024}, {0x500, 1024, 476}}));
  EXPECT_EQ(pieces_of(0xFFFFFC00, 2048).back(), (Piece{0x0, 1024, 1024}));  // addresses wrap
}

TEST(TransferInChunks, StopsAtTheFirstFailingPiece) {
  int calls = 0;
  EXPECT_FALSE(transfer_in_chunks(
      [&](uint32_t, size_t, size_t) { return ++calls == 2 ? -3 : 1024; }, 0, 4096));
  EXPECT_EQ(calls, 2);
}

TEST(TransferInChunks, RefusesAPieceOfAnotherSize) {
  try {
    transfer_in_chunks([](uint32_t, size_t, size_t) { return int64_t{3}; }, 0, 4);
    FAIL() << "no error";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "unexpected transfer len: 3  expected: 4");
  }
}

}  // namespace
}  // namespace morla
