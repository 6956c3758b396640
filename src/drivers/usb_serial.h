#pragma once
// Opening the board's serial console and bringing its shell to the prompt.
#include <memory>

#include "drivers/serial_port.h"

namespace morla {

// How long one read of the handshake waits; the whole probe gives up after 300 ms.
inline constexpr uint32_t kHandshakeReadTimeoutMs = 200;
inline constexpr int64_t kHandshakeProbeLimitMs = 300;
// Longest wait for the shell's prompt while the console keeps printing other text.
inline constexpr int64_t kPromptDeadlineMs = 1000;

// Handshakes on an opened port: the port back, ready for "bin", or null.
std::unique_ptr<SerialPort> handshake_usb_serial(std::unique_ptr<SerialPort> port);
// Finds, opens and handshakes the board's port; null when there is none.
std::unique_ptr<SerialPort> open_usb_serial();

}  // namespace morla
