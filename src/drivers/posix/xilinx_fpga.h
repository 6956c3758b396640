#pragma once
// An FPGA board behind the Linux DMA driver, which gives each board a set of device
// files: `<prefix><index>_user` (the user register window), `<prefix><index>_c2h_0`
// (card to host) and `<prefix><index>_h2c_0` (host to card). Each file is held
// exclusively while it is open (see lock_exclusively): a board another process holds
// cannot be opened here.
#include <sys/types.h>

#include <string>

#include "drivers/fpga_board.h"
#include "drivers/posix/file_descriptor.h"

namespace morla {

inline constexpr const char* kFpgaDevicePrefix = "/dev/xdma";
// When set, the device-file prefix to use instead (for instance a folder of files).
inline constexpr const char* kFpgaDevicePrefixVariable = "MORLA_FPGA_DEVICE_PREFIX";

// The override variable's value when set, else the driver's own prefix.
std::string fpga_device_prefix();

class XilinxFPGA final : public FPGABoard {
 public:
  explicit XilinxFPGA(std::string device_prefix);
  // Closes the board when it is open.
  ~XilinxFPGA() override;
  XilinxFPGA(const XilinxFPGA&) = delete;
  XilinxFPGA& operator=(const XilinxFPGA&) = delete;

  // Opens both DMA channels of board `device_index`; fpga::kUnavailable also when another
  // process holds either.
  uint32_t open_device(uint32_t device_index) override;
  // Closes every descriptor that is open; fpga::kNotOpen when the board is not.
  uint32_t close_device() override;
  uint32_t write_data(const void* data, uint32_t length, uint32_t address,
                      bool is_register) override;
  uint32_t read_data(void* buffer, uint32_t length, uint32_t address, bool is_register) override;
  uint32_t wait_for_interrupt() override { return fpga::kOk; }
  // Opens the user register file (once: a later call only moves the window base).
  uint32_t map_memory_registers(uint32_t window, uint64_t base, uint64_t size) override;

 private:
  // The descriptor and file offset of an access through `channel` (or the register
  // window): 0, else the errno of why it cannot be placed.
  int place(uint32_t address, bool is_register, const FileDescriptor& channel, int* fd,
            off_t* offset) const;

  std::string device_prefix_;
  uint32_t device_index_ = 0;
  uint64_t window_base_ = 0;
  bool open_ = false;
  FileDescriptor user_file_;
  FileDescriptor read_file_;
  FileDescriptor write_file_;
  std::string device_path_;
};

}  // namespace morla
