#pragma once
// Opening the board's serial console and bringing its shell to the prompt.
#include <memory>

#include "drivers/driver_deadlines.h"
#include "drivers/serial_port.h"

namespace morla {

// Handshakes on an opened port: the port back, ready for "bin" (its reads then wait
// `deadlines.reply_byte` for each byte), or null.
std::unique_ptr<SerialPort> handshake_usb_serial(std::unique_ptr<SerialPort> port,
                                                 const DriverDeadlines& deadlines = {});
// Finds, opens and handshakes the board's port; null when there is none.
std::unique_ptr<SerialPort> open_usb_serial(const DriverDeadlines& deadlines = {});

}  // namespace morla
