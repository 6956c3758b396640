#pragma once
// A system-on-chip built into an FPGA prototyping board: addresses below the
// register window's end go to the board's user registers, all others to its memory
// through DMA.
#include <cstdint>
#include <memory>
#include <string>

#include "drivers/fpga_board.h"
#include "drivers/host_driver.h"

namespace morla {

// The SoC name of the id in bits 31-20 of the board's name word ("Orbi_v1", ...);
// an unknown id in decimal.
std::string fpga_soc_name(uint32_t soc_id);

class FPGADriver : public HostDriver {
 public:
  // The register window spans [0, kRegisterWindowEnd); its base is address 0.
  static constexpr uint32_t kRegisterWindowEnd = 0x200000;
  // The word whose bits 31-20 name the SoC.
  static constexpr uint32_t kSocNameWord = 0x1F0000;

  // Board 0 under the device-file prefix of the environment (or the default).
  FPGADriver();
  // Board 0 under `device_prefix`. Throws DriverNotAvailable, printing nothing, when
  // the board or its register window cannot be opened, and with the read error printed
  // when the board's name or version cannot be read.
  explicit FPGADriver(const std::string& device_prefix);
  ~FPGADriver() override;

  const char* desc() const override { return name_.c_str(); }
  uint32_t registers_base() const override { return 0; }

 protected:
  // Throw TransportError "An error occured while reading data from hardware" / "An
  // error occured while writing data to hardware", followed by the board's result, the
  // errno of the failure, the transfer and the device ("; board result 4 (transfer
  // failed), errno 5 (Input/output error), at 0x200000 len 8 on /dev/xdma0"); the error's
  // cause holds the result and the errno.
  void do_read(uint32_t address, void* buffer, size_t length) override;
  void do_write(uint32_t address, const void* buffer, size_t length) override;

 private:
  std::string device_;  // the board's device files start with this
  std::string name_;    // "fpga-" + the SoC name
  std::unique_ptr<FPGABoard> board_;
};

}  // namespace morla
