#include "drivers/posix/xilinx_fpga.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <utility>

namespace morla {
namespace {

constexpr uint32_t kLastWindow = 2;

// Opens a board file without waiting and holds it exclusively: a FIFO would hold open()
// until its other end comes, so only character devices (the driver's) and regular files
// (a board made of files) are kept, locked, and in blocking mode. A file that `covered`
// is already open on needs no lock of its own (a board made of files has one file behind
// both DMA channels, so that written memory reads back): that open's lock holds it.
FileDescriptor open_file(const std::string& path, int flags,
                         const FileDescriptor* covered = nullptr) {
  FileDescriptor file = open_without_waiting(path, flags);
  if (!file.is_open()) return file;
  struct stat info, other;
  if (::fstat(file.get(), &info) != 0 || !(S_ISCHR(info.st_mode) || S_ISREG(info.st_mode)))
    return {};
  const bool held = covered != nullptr && ::fstat(covered->get(), &other) == 0 &&
                    other.st_dev == info.st_dev && other.st_ino == info.st_ino;
  if (!held && !lock_exclusively(file)) return {};
  const int status = ::fcntl(file.get(), F_GETFL);
  if (status < 0 || ::fcntl(file.get(), F_SETFL, status & ~O_NONBLOCK) != 0) return {};
  return file;
}

// Moves the whole length through `step` (bytes done -> bytes moved now); false on an
// error, with errno telling why, or when the file ends first, which amounts to an I/O
// error (EIO).
template <typename Step>
bool transfer_whole(size_t length, Step step) {
  size_t done = 0;
  while (done < length) {
    const ssize_t moved = step(done);
    if (moved < 0 && errno == EINTR) continue;
    if (moved == 0) errno = EIO;
    if (moved <= 0) return false;
    done += static_cast<size_t>(moved);
  }
  return true;
}

// A board answer of failure, with errno set to `error`.
uint32_t failure(uint32_t result, int error) {
  errno = error;
  return result;
}

}  // namespace

std::string fpga_device_prefix() {
  const char* prefix = std::getenv(kFpgaDevicePrefixVariable);
  return prefix != nullptr && *prefix != '\0' ? prefix : kFpgaDevicePrefix;
}

XilinxFPGA::XilinxFPGA(std::string device_prefix) : device_prefix_(std::move(device_prefix)) {}

XilinxFPGA::~XilinxFPGA() {
  if (open_) close_device();
}

uint32_t XilinxFPGA::open_device(uint32_t device_index) {
  if (open_) close_device();
  device_index_ = device_index;
  device_path_ = device_prefix_ + std::to_string(device_index);
  FileDescriptor read_file = open_file(device_path_ + "_c2h_0", O_RDONLY);
  if (!read_file.is_open()) return fpga::kUnavailable;
  FileDescriptor write_file = open_file(device_path_ + "_h2c_0", O_WRONLY, &read_file);
  if (!write_file.is_open()) return fpga::kUnavailable;
  read_file_ = std::move(read_file);
  write_file_ = std::move(write_file);
  open_ = true;
  return fpga::kOk;
}

uint32_t XilinxFPGA::close_device() {
  if (!open_) return fpga::kNotOpen;
  open_ = false;
  user_file_.reset();
  read_file_.reset();
  write_file_.reset();
  return fpga::kOk;
}

uint32_t XilinxFPGA::map_memory_registers(uint32_t window, uint64_t base, uint64_t /*size*/) {
  if (!open_) return fpga::kUnavailable;
  if (window > kLastWindow) return fpga::kWindowOutOfRange;
  // Opened once: a second open would find the file locked by the first.
  if (!user_file_.is_open()) {
    user_file_ = open_file(device_path_ + "_user", O_RDWR);
    if (!user_file_.is_open()) return fpga::kUnavailable;
  }
  window_base_ = base;
  return fpga::kOk;
}

int XilinxFPGA::place(uint32_t address, bool is_register, const FileDescriptor& channel, int* fd,
                      off_t* offset) const {
  if (!is_register) {
    *fd = channel.get();
    *offset = static_cast<off_t>(address);
  } else {
    if (address < window_base_) return EINVAL;
    *fd = user_file_.get();
    *offset = static_cast<off_t>(address - window_base_);
  }
  return *fd >= 0 ? 0 : EBADF;
}

uint32_t XilinxFPGA::read_data(void* buffer, uint32_t length, uint32_t address, bool is_register) {
  if (!open_) return failure(fpga::kUnavailable, EBADF);
  int fd = -1;
  off_t offset = 0;
  if (const int error = place(address, is_register, read_file_, &fd, &offset); error != 0)
    return failure(fpga::kTransferFailed, error);
  auto* bytes = static_cast<uint8_t*>(buffer);
  const bool done = transfer_whole(length, [&](size_t done_bytes) {
    return ::pread(fd, bytes + done_bytes, length - done_bytes,
                   offset + static_cast<off_t>(done_bytes));
  });
  return done ? fpga::kOk : fpga::kTransferFailed;
}

uint32_t XilinxFPGA::write_data(const void* data, uint32_t length, uint32_t address,
                                bool is_register) {
  if (!open_) return failure(fpga::kUnavailable, EBADF);
  int fd = -1;
  off_t offset = 0;
  if (const int error = place(address, is_register, write_file_, &fd, &offset); error != 0)
    return failure(fpga::kTransferFailed, error);
  const auto* bytes = static_cast<const uint8_t*>(data);
  const bool done = transfer_whole(length, [&](size_t done_bytes) {
    return ::pwrite(fd, bytes + done_bytes, length - done_bytes,
                    offset + static_cast<off_t>(done_bytes));
  });
  return done ? fpga::kOk : fpga::kTransferFailed;
}

}  // namespace morla
