#include "drivers/fpga_driver.h"

#include <limits>
#include <sstream>
#include <stdexcept>

#include "drivers/driver_errors.h"
#include "drivers/posix/xilinx_fpga.h"

namespace morla {
namespace {

std::runtime_error transfer_error(const char* text, uint32_t address, size_t length, uint32_t result) {
  std::ostringstream message;
  message << text << " (0x" << std::hex << address << std::dec << ", " << length << " bytes, board result "
          << result << ")";
  return std::runtime_error(message.str());
}

}  // namespace

std::string fpga_soc_name(uint32_t soc_id) {
  switch (soc_id) {
    case 1066:
      return "Orbi_v1";
    case 1127:
    case 1216:
      return "Orbi_v2";
    case 1333:
      return "MRL7700_v1";
    default:
      return std::to_string(soc_id);
  }
}

FPGADriver::FPGADriver() : FPGADriver(fpga_device_prefix()) {}

FPGADriver::FPGADriver(const std::string& device_prefix)
    : board_(std::make_unique<XilinxFPGA>(device_prefix)) {
  if (board_->open_device(0) != kFpgaOk) throw DriverNotAvailable();
  if (board_->map_memory_registers(0, 0, kRegisterWindowEnd) != kFpgaOk) throw DriverNotAvailable();
  name_ = "fpga-" + fpga_soc_name(read_register(*this, kSocNameWord) >> 20);
  read_version_from_board();
}

FPGADriver::~FPGADriver() { board_->close_device(); }

void FPGADriver::do_read(uint32_t address, void* buffer, size_t length) {
  constexpr const char* kError = "An error occured while reading data from hardware";
  if (length > std::numeric_limits<uint32_t>::max()) throw transfer_error(kError, address, length, kFpgaTransferFailed);
  const uint32_t result =
      board_->read_data(buffer, static_cast<uint32_t>(length), address, address < kRegisterWindowEnd);
  if (result != kFpgaOk) throw transfer_error(kError, address, length, result);
}

void FPGADriver::do_write(uint32_t address, const void* buffer, size_t length) {
  constexpr const char* kError = "An error occured while writing data to hardware";
  if (length > std::numeric_limits<uint32_t>::max()) throw transfer_error(kError, address, length, kFpgaTransferFailed);
  const uint32_t result =
      board_->write_data(buffer, static_cast<uint32_t>(length), address, address < kRegisterWindowEnd);
  if (result != kFpgaOk) throw transfer_error(kError, address, length, result);
}

}  // namespace morla
