#include "drivers/usb_driver.h"

#include <cstdlib>

#include "drivers/bin_protocol.h"
#include "drivers/driver_errors.h"
#include "drivers/driver_print.h"
#include "drivers/soc_name.h"
#include "drivers/transport_error.h"
#include "drivers/usb_serial.h"

namespace morla {

UsbDriver::UsbDriver(const DriverDeadlines& deadlines)
    : SocDriver(static_cast<HardwareDriver&>(*this), deadlines) {
  if (std::getenv("NO_USB") != nullptr) {
    driver_print("USB driver disabled\n");
    throw DriverNotAvailable();
  }
  port_ = open_usb_serial(deadlines);
  if (!port_) throw DriverNotAvailable();
  switch_to_bin_commands(*port_);
  try {
    name_ = "USB/" + make_soc_name(*this);
    read_version_from_board();
  } catch (const TransportError& error) {
    // A port that passed the handshake but does not answer binary commands is no
    // board of ours: skip it, so that the other boards are still listed.
    driver_print("%s\n", error.what());
    throw DriverNotAvailable();
  }
}

UsbDriver::~UsbDriver() { stop_power_measurement(); }

void UsbDriver::do_read(uint32_t address, void* buffer, size_t length) {
  auto* bytes = static_cast<uint8_t*>(buffer);
  LinkFailure failure;
  const bool done = transfer_in_chunks(
      [&](uint32_t piece_address, size_t offset, size_t size) {
        return bin_read(*port_, piece_address, bytes + offset, size, &failure, deadlines());
      },
      address, length);
  if (!done) throw TransportError("Error reading at 0x", address, length, failure, port_->name());
}

void UsbDriver::do_write(uint32_t address, const void* buffer, size_t length) {
  const auto* bytes = static_cast<const uint8_t*>(buffer);
  LinkFailure failure;
  const bool done = transfer_in_chunks(
      [&](uint32_t piece_address, size_t offset, size_t size) {
        return bin_write(*port_, piece_address, bytes + offset, size, &failure, deadlines());
      },
      address, length);
  if (!done) throw TransportError("Error writing  at 0x", address, length, failure, port_->name());
}

}  // namespace morla
