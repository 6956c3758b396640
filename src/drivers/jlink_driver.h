#pragma once
// A board reached through a J-Link debug probe on its Cortex-M4 core: the board's
// address space becomes probe memory accesses, through the vendor's library.
#include <cstdint>
#include <memory>
#include <string>

#include "drivers/host_driver.h"
#include "drivers/posix/dl_handle.h"

namespace morla {

class ProbeConnection;

class JlinkDriver : public HostDriver {
 public:
  // Tried only when JLINK_EN is set; throws DriverNotAvailable when it is not, when
  // the library or one of its functions is missing, or when the probe cannot reach
  // the core (the reason printed). A connection opened by then is closed before the
  // throw.
  JlinkDriver();
  // Unloads the library without closing the probe connection.
  ~JlinkDriver() override = default;

  const char* desc() const override { return name_.c_str(); }

 protected:
  // The whole length in one probe call; failures throw TransportError "Unable to read
  // at address 0x<address>" / "Unable to write at address 0x<address>", followed by the
  // cause and the library ("; probe result -1 on /usr/lib/libjlinkarm.so").
  void do_read(uint32_t address, void* buffer, size_t length) override;
  void do_write(uint32_t address, const void* buffer, size_t length) override;

 private:
  // The connection sequence up to a halted core; throws DriverNotAvailable.
  void connect(ProbeConnection& connection);
  // Opens the core's debug access, through this driver's own write.
  void unlock_debug_access();

  std::string library_path_;
  std::unique_ptr<DlHandle> library_;
  std::string name_;  // "Jlink/" + the SoC name
};

}  // namespace morla
