#include "drivers/fpga_driver.h"

#include <cerrno>
#include <cstring>
#include <limits>
#include <sstream>

#include "drivers/driver_errors.h"
#include "drivers/driver_print.h"
#include "drivers/posix/xilinx_fpga.h"
#include "drivers/status_text.h"
#include "drivers/transport_error.h"

namespace morla {
namespace {

// One board call for the whole length, to the register window below its end and to
// the DMA channels from there on; any result but success throws `error`, followed by
// the result, the errno the board left, the transfer and the board's device files.
template <typename Transfer>
void board_transfer(const char* error, uint32_t address, size_t length, const std::string& device,
                    Transfer transfer) {
  uint32_t result = fpga::kTransferFailed;
  errno = EINVAL;  // a length no board call takes
  if (length <= std::numeric_limits<uint32_t>::max()) {
    errno = 0;
    result = transfer(static_cast<uint32_t>(length), address < FPGADriver::kRegisterWindowEnd);
  }
  const int error_number = errno;
  if (result == fpga::kOk) return;
  const int status = static_cast<int>(result);
  std::ostringstream text;
  text << error << "; board result " << status_text(status, fpga::result_name) << ", errno "
       << error_number << " (" << std::strerror(error_number) << "), at 0x" << std::hex << address
       << std::dec << " len " << length << " on " << device;
  throw TransportError::with_text(text.str(), address, length,
                                  LinkFailure{status, error_number, address}, device);
}

}  // namespace

const char* fpga::result_name(int result) {
  switch (result) {
    case fpga::kOk: return "success";
    case fpga::kUnavailable: return "unavailable";
    case fpga::kWindowOutOfRange: return "window out of range";
    case fpga::kTransferFailed: return "transfer failed";
    case fpga::kNotOpen: return "close of a board not open";
    default: return nullptr;
  }
}

std::string fpga_soc_name(uint32_t soc_id) {
  switch (soc_id) {
    case 1066: return "Orbi_v1";
    case 1127:
    case 1216: return "Orbi_v2";
    case 1333: return "MRL7700_v1";
    default: return std::to_string(soc_id);
  }
}

FPGADriver::FPGADriver() : FPGADriver(fpga_device_prefix()) {}

FPGADriver::FPGADriver(const std::string& device_prefix)
    : device_(device_prefix + "0"), board_(std::make_unique<XilinxFPGA>(device_prefix)) {
  if (board_->open_device(0) != fpga::kOk) throw DriverNotAvailable();
  if (board_->map_memory_registers(0, 0, kRegisterWindowEnd) != fpga::kOk)
    throw DriverNotAvailable();
  try {
    name_ = "fpga-" + fpga_soc_name(read_register(*this, kSocNameWord) >> 20);
    read_version_from_board();
  } catch (const TransportError& error) {
    // Files that open but cannot be read are no board: skip them, so that the boards
    // of the other drivers are still listed.
    driver_print("%s\n", error.what());
    throw DriverNotAvailable();
  }
}

FPGADriver::~FPGADriver() { board_->close_device(); }

void FPGADriver::do_read(uint32_t address, void* buffer, size_t length) {
  board_transfer("An error occured while reading data from hardware", address, length, device_,
                 [&](uint32_t size, bool is_register) {
                   return board_->read_data(buffer, size, address, is_register);
                 });
}

void FPGADriver::do_write(uint32_t address, const void* buffer, size_t length) {
  board_transfer("An error occured while writing data to hardware", address, length, device_,
                 [&](uint32_t size, bool is_register) {
                   return board_->write_data(buffer, size, address, is_register);
                 });
}

}  // namespace morla
