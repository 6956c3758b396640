#pragma once
// Access to an FPGA prototyping board through its vendor's device driver: a user
// register window and two DMA channels. Operations answer with small result codes.
#include <cstdint>

namespace morla {

namespace fpga {

// Result codes of the board operations.
enum Result : uint32_t {
  kOk = 0,
  kUnavailable = 1,       // not open, or the device (file) could not be opened
  kWindowOutOfRange = 2,  // a register window other than 0, 1 or 2
  kTransferFailed = 4,    // positioning, reading or writing failed, or fell short
  kNotOpen = 7,           // close of a board that is not open
};

// The name of a result code ("transfer failed"); null for any other value.
const char* result_name(int result);

}  // namespace fpga

// A failing transfer (read_data, write_data) leaves errno telling why: EIO for one that
// falls short.
class FPGABoard {
 public:
  virtual ~FPGABoard() = default;
  virtual uint32_t open_device(uint32_t device_index) = 0;
  virtual uint32_t close_device() = 0;
  // A register access goes to the register window at the address minus the window's
  // base, any other to the DMA channel at the address itself.
  virtual uint32_t write_data(const void* data, uint32_t length, uint32_t address,
                              bool is_register) = 0;
  virtual uint32_t read_data(void* buffer, uint32_t length, uint32_t address, bool is_register) = 0;
  // Interrupts are not supported by the boards of this family: always 0.
  virtual uint32_t wait_for_interrupt() = 0;
  // Opens register window `window` (0 to 2) with its base address; the size is the
  // board's business.
  virtual uint32_t map_memory_registers(uint32_t window, uint64_t base, uint64_t size) = 0;
};

}  // namespace morla
