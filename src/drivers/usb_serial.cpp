#include "drivers/usb_serial.h"

#include <cerrno>
#include <cstring>
#include <mutex>

#include "core/platform.h"
#include "drivers/bin_protocol.h"
#include "drivers/driver_print.h"
#include "drivers/posix/file_descriptor.h"
#include "drivers/posix/serial_port_posix.h"
#include "drivers/posix/usb_port_discovery.h"

namespace morla {
namespace {

// Reads until the board answers the probe. A silent port ends the wait as if
// 0xAA had come back (the shell ignores the probe); false after `limit` of other bytes.
bool await_probe_answer(SerialPort& port, uint8_t* cell, std::chrono::milliseconds limit) {
  const int64_t t0 = time_ms();
  while (true) {
    port.read(cell, 1);  // nothing delivered leaves the cell as it was
    if (time_ms() > t0 + limit.count()) return false;
    if (*cell == bin::kFrameStart || *cell == bin::kReplyStart) return true;
  }
}

// Consumes the shell's output up to "morla>" and one byte more, or up to silence,
// or up to the deadline: a console that keeps printing without its prompt.
void await_prompt(SerialPort& port, std::chrono::milliseconds limit) {
  static constexpr char kPrompt[] = "morla>";
  const int64_t deadline = time_ms() + limit.count();
  char window[7] = {};
  while (true) {
    char byte;
    if (port.read(&byte, 1) != 1) return;
    std::memmove(window, window + 1, 6);
    window[6] = byte;
    if (std::memcmp(window, kPrompt, 6) == 0) return;
    if (time_ms() > deadline) {
      driver_print("No \"%s\" prompt from %s within %lld ms\n", kPrompt, port.name().c_str(),
                   static_cast<long long>(limit.count()));
      return;
    }
  }
}

}  // namespace

std::unique_ptr<SerialPort> handshake_usb_serial(std::unique_ptr<SerialPort> port,
                                                 const DriverDeadlines& deadlines) {
  port->set_read_timeout(static_cast<uint32_t>(deadlines.probe_read.count()));
  uint8_t probe[5] = {bin::kFrameStart, 0, 0, 0, 0};
  if (port->write(probe, sizeof probe) != sizeof probe) return nullptr;
  if (!await_probe_answer(*port, &probe[0], deadlines.probe)) return nullptr;
  if (probe[0] == bin::kReplyStart) {
    // The board is still in binary mode: send it back to its shell.
    std::lock_guard lock(bin_protocol_mutex());
    BinCommand reply;
    send_bin_command(*port, bin::kLeaveBinary, 0, nullptr, 0, &reply, nullptr, deadlines);
  }
  if (port->write("\r\n", 2) == 2) await_prompt(*port, deadlines.prompt);
  port->set_read_timeout(static_cast<uint32_t>(deadlines.reply_byte.count()));
  return port;
}

std::unique_ptr<SerialPort> open_usb_serial(const DriverDeadlines& deadlines) {
  const auto path = board_serial_port_path();
  if (!path) return nullptr;
  std::unique_ptr<SerialPort> port = SerialPortPosix::open(*path);
  if (!port) {
    // A port the user named is worth a line; a discovered one stays silent, also when
    // another process holds it.
    const int error = errno;
    if (named_serial_port_path() == path)
      driver_print("MORLA_SERIAL_PORT names %s, which cannot be opened: %s\n", path->c_str(),
                   open_failure_text(error));
    return nullptr;
  }
  return handshake_usb_serial(std::move(port), deadlines);
}

}  // namespace morla
