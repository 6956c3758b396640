#pragma once
// The board's binary command protocol: framed 32-bit address-space reads and
// writes over a serial port, one exchange at a time under a process-wide mutex.
#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>

#include "drivers/driver_deadlines.h"
#include "drivers/transport_error.h"

namespace morla {

class SerialPort;

// The 16-byte command block of a frame, little-endian on the wire.
struct BinCommand {
  uint32_t command = 0;
  uint32_t sequence = 0;
  uint32_t address = 0;
  uint32_t length = 0;
};

namespace bin {
inline constexpr uint8_t kFrameStart = 0xAA;
inline constexpr uint8_t kReplyStart = 0xAB;
inline constexpr uint32_t kRead = 1;
inline constexpr uint32_t kWrite = 2;
inline constexpr uint32_t kLeaveBinary = 6;
// Largest payload of one exchange; a payload of a multiple of it is followed by 0x00.
inline constexpr size_t kPieceSize = 1024;

// Result codes of one exchange.
enum Status : int {
  kOk = 0,
  kBadLength = -1,   // the reply's length field disagrees
  kShortReply = -2,  // the reply stopped before its end
  kNoReply = -3,     // no reply marker came
  kShortWrite = -4,  // the command was not written whole
};
const char* status_name(int status);
}  // namespace bin

// Frame encoders: {0xAA, L big-endian} and the little-endian command block.
std::array<uint8_t, 5> encode_frame_header(uint32_t frame_length);
std::array<uint8_t, 16> encode_bin_command(const BinCommand& block);
BinCommand decode_bin_command(const uint8_t* bytes);

// The mutex that serialises every exchange of every USB driver.
std::mutex& bin_protocol_mutex();
// The sequence number carried by the last frame (1 before the first frame).
uint32_t bin_sequence_number();

// "bin\n\r": 0, or -4 when not written whole.
int switch_to_bin_commands(SerialPort& port);
// One exchange; the caller holds the protocol mutex. Returns 0 or a negative code;
// a failure is described in `failure` when given, and leaves the port unsettled. The
// reply marker is awaited for at most `deadlines.reply_marker`.
int send_bin_command(SerialPort& port, uint32_t command, uint32_t address, const void* payload,
                     uint32_t length, BinCommand* reply, LinkFailure* failure = nullptr,
                     const DriverDeadlines& deadlines = {});
// The length transferred, or a negative code. Take the mutex themselves, and
// first drain a port that an earlier exchange left unsettled.
int64_t bin_read(SerialPort& port, uint32_t address, void* buffer, size_t length,
                 LinkFailure* failure = nullptr, const DriverDeadlines& deadlines = {});
int64_t bin_write(SerialPort& port, uint32_t address, const void* payload, size_t length,
                  LinkFailure* failure = nullptr, const DriverDeadlines& deadlines = {});
// Reads and discards until the line has been quiet for `deadlines.drain_quiet` (at
// most `deadlines.drain_limit`), then marks the port settled. The caller holds the mutex.
void drain_line(SerialPort& port, const DriverDeadlines& deadlines = {});

// One piece of a transfer: (address, offset into the caller's buffer, size) -> result.
using BinExchange = std::function<int64_t(uint32_t, size_t, size_t)>;
// Carries `length` bytes in pieces of at most 1024; false when a piece fails. A
// piece that moves another count than asked throws std::runtime_error.
bool transfer_in_chunks(const BinExchange& exchange, uint32_t address, size_t length);

}  // namespace morla
