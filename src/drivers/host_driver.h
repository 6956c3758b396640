#pragma once
// Common base of the host-side drivers: every access goes through read/write,
// which call the transport and record the access in the hardware dump.
#include "core/hw_version.h"
#include "drivers/hardware_driver.h"
#include "drivers/process_owner.h"

namespace morla {

class HostDriver : public HardwareDriver {
 public:
  static constexpr uint32_t kRegistersBase = 0xFCC00000;

  // A length of 0 does nothing; a transport failure is the transport's exception. Refused
  // (std::runtime_error) in a process forked from the one that opened the board.
  void read(uint32_t address, void* buffer, size_t length) override;
  void write(uint32_t address, const void* buffer, size_t length) override;
  uint32_t memory_base() const override;
  size_t memory_size() const override;
  uint32_t registers_base() const override { return kRegistersBase; }
  uint32_t engine_reserved_a() const override { return 0; }
  uint32_t engine_reserved_b() const override { return 0; }

  // All zero until the concrete constructor has finished.
  const HwVersion& hw_version() const { return hw_version_; }

 protected:
  // Transport operations, called only by read and write; failures are exceptions.
  virtual void do_read(uint32_t address, void* buffer, size_t length) = 0;
  virtual void do_write(uint32_t address, const void* buffer, size_t length) = 0;

  // The concrete constructor's last step: the engine reads the board's version.
  void read_version_from_board();

 private:
  HwVersion hw_version_;
  ProcessOwner owner_;
};

}  // namespace morla
