#include "drivers/bin_protocol.h"

#include <sys/types.h>

#include <cerrno>
#include <iterator>
#include <stdexcept>
#include <string>

#include "core/platform.h"
#include "drivers/driver_print.h"
#include "drivers/process_owner.h"
#include "drivers/serial_port.h"

namespace morla {
namespace {

// Touched only while the protocol mutex is held.
uint32_t sequence_counter = 1;

void put_le32(uint8_t* out, uint32_t value) {
  for (int i = 0; i < 4; ++i) out[i] = static_cast<uint8_t>(value >> (8 * i));
}

uint32_t get_le32(const uint8_t* in) {
  return in[0] | in[1] << 8 | in[2] << 16 | uint32_t{in[3]} << 24;
}

uint32_t get_be32(const uint8_t* in) {
  return uint32_t{in[0]} << 24 | in[1] << 16 | in[2] << 8 | in[3];
}

// Ends an exchange with `status`: records what failed (errno where it failed: the
// port's own error, else what the status amounts to) and leaves the port unsettled.
int fail(SerialPort& port, LinkFailure* failure, int status, uint32_t address) {
  int error_number = port.failure();
  if (error_number == 0) error_number = status == bin::kBadLength ? EPROTO : ETIMEDOUT;
  errno = error_number;
  port.set_unsettled(true);
  if (failure != nullptr) *failure = {status, error_number, address};
  return status;
}

// Skips bytes up to the reply marker. A read that delivers nothing, or a port that
// keeps delivering other bytes past the deadline, is a time-out.
bool wait_reply_marker(SerialPort& port, std::chrono::milliseconds limit) {
  const int64_t deadline = time_ms() + limit.count();
  uint8_t byte = 0;
  while (true) {
    if (port.read(&byte, 1) != 1) return false;
    if (byte == bin::kReplyStart) return true;
    if (time_ms() > deadline) return false;
  }
}

}  // namespace

std::array<uint8_t, 5> encode_frame_header(uint32_t frame_length) {
  return {bin::kFrameStart, static_cast<uint8_t>(frame_length >> 24),
          static_cast<uint8_t>(frame_length >> 16), static_cast<uint8_t>(frame_length >> 8),
          static_cast<uint8_t>(frame_length)};
}

std::array<uint8_t, 16> encode_bin_command(const BinCommand& block) {
  std::array<uint8_t, 16> bytes;
  put_le32(bytes.data(), block.command);
  put_le32(bytes.data() + 4, block.sequence);
  put_le32(bytes.data() + 8, block.address);
  put_le32(bytes.data() + 12, block.length);
  return bytes;
}

BinCommand decode_bin_command(const uint8_t* bytes) {
  return {get_le32(bytes), get_le32(bytes + 4), get_le32(bytes + 8), get_le32(bytes + 12)};
}

namespace bin {
const char* status_name(int status) {
  switch (status) {
    case kOk: return "ok";
    case kBadLength: return "reply length disagrees";
    case kShortReply: return "reply cut short";
    case kNoReply: return "no reply";
    case kShortWrite: return "command not written whole";
    default: return nullptr;
  }
}
}  // namespace bin

std::mutex& bin_protocol_mutex() {
  static std::mutex mutex;
  // A child forked while the sampling thread talks to a board starts with it free.
  static const bool held_across_fork = (hold_across_fork(mutex), true);
  (void)held_across_fork;
  return mutex;
}

uint32_t bin_sequence_number() {
  std::lock_guard lock(bin_protocol_mutex());
  return sequence_counter;
}

int switch_to_bin_commands(SerialPort& port) {
  static constexpr char kSwitch[] = "bin\n\r";
  if (port.write(kSwitch, 5) == 5) {
    driver_print("Switched to bin commands\r\n");
    return 0;
  }
  driver_print("Error switching to bin commands\r\n");
  return -4;
}

int send_bin_command(SerialPort& port, uint32_t command, uint32_t address, const void* payload,
                     uint32_t length, BinCommand* reply, LinkFailure* failure,
                     const DriverDeadlines& deadlines) {
  const uint32_t frame_length = payload != nullptr ? 16 + length : 16;
  ++sequence_counter;
  const auto header = encode_frame_header(frame_length);
  const auto block = encode_bin_command({command, sequence_counter, address, length});
  // Header, command block, payload and, after a payload of whole pieces, one 0x00: one
  // gathered write.
  static constexpr uint8_t kPieceEnd = 0;
  const bool piece_end = payload != nullptr && length % bin::kPieceSize == 0;
  const WritePiece pieces[] = {{header.data(), header.size()},
                               {block.data(), block.size()},
                               {payload, payload != nullptr ? length : 0},
                               {&kPieceEnd, piece_end ? 1u : 0u}};
  const size_t sent = port.write_pieces(pieces, std::size(pieces));
  // Which piece came up short, for the message; a missing final 0x00 is not a failure.
  if (sent < header.size()) {
    driver_print("Error writing header (%zd)\r\n", static_cast<ssize_t>(sent));
    return fail(port, failure, bin::kShortWrite, address);
  }
  if (sent < header.size() + block.size()) {
    driver_print("Error writing bincmd header (%zd)\r\n",
                 static_cast<ssize_t>(sent - header.size()));
    return fail(port, failure, bin::kShortWrite, address);
  }
  if (payload != nullptr && sent < header.size() + block.size() + length) {
    driver_print("Error writing data (%zd)\r\n",
                 static_cast<ssize_t>(sent - header.size() - block.size()));
    return fail(port, failure, bin::kShortWrite, address);
  }
  if (!wait_reply_marker(port, deadlines.reply_marker)) {
    driver_print("timeout waiting response\r\n");
    return fail(port, failure, bin::kNoReply, address);
  }
  uint8_t reply_length[4];
  if (const uint32_t n = port.read(reply_length, 4); n != 4) {
    driver_print("error reading len (%zd)\r\n", static_cast<ssize_t>(n));
    return fail(port, failure, bin::kShortReply, address);
  }
  uint8_t reply_block[16];
  if (const uint32_t n = port.read(reply_block, 16); n != 16) {
    driver_print("error reading len (%zd)\r\n", static_cast<ssize_t>(n));
    return fail(port, failure, bin::kShortReply, address);
  }
  *reply = decode_bin_command(reply_block);
  const size_t expected = static_cast<size_t>(get_be32(reply_length)) - 16;
  if (reply->length != expected) {
    driver_print("error with data len: expected %zu, got %u\n", expected, reply->length);
    return fail(port, failure, bin::kBadLength, address);
  }
  return bin::kOk;
}

void drain_line(SerialPort& port, const DriverDeadlines& deadlines) {
  const uint32_t timeout = port.read_timeout();
  port.set_read_timeout(static_cast<uint32_t>(deadlines.drain_quiet.count()));
  const int64_t limit = time_ms() + deadlines.drain_limit.count();
  uint8_t byte;
  while (port.read(&byte, 1) == 1 && time_ms() < limit) {
  }
  port.set_read_timeout(timeout);
  port.set_unsettled(false);
}

int64_t bin_read(SerialPort& port, uint32_t address, void* buffer, size_t length,
                 LinkFailure* failure, const DriverDeadlines& deadlines) {
  std::lock_guard lock(bin_protocol_mutex());
  if (port.unsettled()) drain_line(port, deadlines);
  BinCommand reply;
  const int result = send_bin_command(port, bin::kRead, address, nullptr,
                                      static_cast<uint32_t>(length), &reply, failure, deadlines);
  if (result != bin::kOk) return result;
  if (reply.length != length) {
    driver_print("unexpected response size: expected %u got %u\n", static_cast<unsigned>(length),
                 reply.length);
    return fail(port, failure, bin::kBadLength, address);
  }
  if (length == 0) return 0;
  if (const uint32_t n = port.read(buffer, length); n != length) {
    driver_print("error reading len (%zd)\r\n", static_cast<ssize_t>(n));
    return fail(port, failure, bin::kShortReply, address);
  }
  return static_cast<int64_t>(length);
}

int64_t bin_write(SerialPort& port, uint32_t address, const void* payload, size_t length,
                  LinkFailure* failure, const DriverDeadlines& deadlines) {
  std::lock_guard lock(bin_protocol_mutex());
  if (port.unsettled()) drain_line(port, deadlines);
  BinCommand reply;
  const int result = send_bin_command(port, bin::kWrite, address, payload,
                                      static_cast<uint32_t>(length), &reply, failure, deadlines);
  return result != bin::kOk ? result : static_cast<int64_t>(length);
}

bool transfer_in_chunks(const BinExchange& exchange, uint32_t address, size_t length) {
  size_t remaining = length;
  size_t offset = 0;
  while (remaining > 0) {
    const size_t piece = remaining < bin::kPieceSize ? remaining : bin::kPieceSize;
    const int64_t result = exchange(address, offset, piece);
    if (result < 0) return false;
    if (static_cast<size_t>(result) != piece)
      throw std::runtime_error("unexpected transfer len: " + std::to_string(result) +
                               "  expected: " + std::to_string(piece));
    remaining -= piece;
    address += bin::kPieceSize;
    offset += bin::kPieceSize;
  }
  return true;
}

}  // namespace morla
