#pragma once
// A board attached over USB: its serial console switched to binary commands, with
// the SoC's clock and power measurement behind it.
#include <memory>
#include <string>

#include "drivers/driver_deadlines.h"
#include "drivers/host_driver.h"
#include "drivers/serial_port.h"
#include "drivers/soc_driver.h"

namespace morla {

class UsbDriver : public HostDriver, public SocDriver {
 public:
  // Throws DriverNotAvailable when NO_USB is set, no board answers the handshake,
  // or the first binary reads (name and version) fail (their error is printed). Every
  // wait of the link and the clock is bounded by `deadlines`.
  explicit UsbDriver(const DriverDeadlines& deadlines = {});
  // Stops power sampling before the port goes.
  ~UsbDriver() override;

  const char* desc() const override { return name_.c_str(); }

 protected:
  // Throw TransportError "Error reading at 0x..." / "Error writing  at 0x...".
  void do_read(uint32_t address, void* buffer, size_t length) override;
  void do_write(uint32_t address, const void* buffer, size_t length) override;

 private:
  std::unique_ptr<SerialPort> port_;
  std::string name_;  // "USB/" + the SoC name
};

}  // namespace morla
