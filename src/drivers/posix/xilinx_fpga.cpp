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

// Opens a board file without waiting: a FIFO would hold open() until its other end comes,
// so only character devices (the driver's) and regular files (a board made of files) are
// kept, and in blocking mode.
int open_file(const std::string& path, int flags) {
  int fd;
  do {
    fd = ::open(path.c_str(), flags | O_CLOEXEC | O_NONBLOCK);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return fd;
  struct stat info;
  const bool usable = ::fstat(fd, &info) == 0 && (S_ISCHR(info.st_mode) || S_ISREG(info.st_mode));
  const int status = ::fcntl(fd, F_GETFL);
  if (!usable || status < 0 || ::fcntl(fd, F_SETFL, status & ~O_NONBLOCK) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

void close_file(int* fd) {
  if (*fd >= 0) ::close(*fd);
  *fd = -1;
}

// Moves the whole length through `step` (bytes done -> bytes moved now); false on an
// error or when the file ends first.
template <typename Step> bool transfer_whole(size_t length, Step step) {
  size_t done = 0;
  while (done < length) {
    const ssize_t moved = step(done);
    if (moved < 0 && errno == EINTR) continue;
    if (moved <= 0) return false;
    done += static_cast<size_t>(moved);
  }
  return true;
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
  read_fd_ = open_file(device_path_ + "_c2h_0", O_RDONLY);
  write_fd_ = open_file(device_path_ + "_h2c_0", O_WRONLY);
  if (read_fd_ < 0 || write_fd_ < 0) {
    close_file(&read_fd_);
    close_file(&write_fd_);
    return fpga::kUnavailable;
  }
  open_ = true;
  return fpga::kOk;
}

uint32_t XilinxFPGA::close_device() {
  if (!open_) return fpga::kNotOpen;
  open_ = false;
  close_file(&user_fd_);
  close_file(&read_fd_);
  close_file(&write_fd_);
  return fpga::kOk;
}

uint32_t XilinxFPGA::map_memory_registers(uint32_t window, uint64_t base, uint64_t /*size*/) {
  if (!open_) return fpga::kUnavailable;
  if (window > kLastWindow) return fpga::kWindowOutOfRange;
  const int user_fd = open_file(device_path_ + "_user", O_RDWR);
  if (user_fd < 0) return fpga::kUnavailable;
  close_file(&user_fd_);
  user_fd_ = user_fd;
  window_base_ = base;
  return fpga::kOk;
}

bool XilinxFPGA::place(uint32_t address, bool is_register, int channel_fd, int* fd, off_t* offset) const {
  if (!is_register) {
    *fd = channel_fd;
    *offset = static_cast<off_t>(address);
  } else {
    if (address < window_base_) return false;
    *fd = user_fd_;
    *offset = static_cast<off_t>(address - window_base_);
  }
  return *fd >= 0;
}

uint32_t XilinxFPGA::read_data(void* buffer, uint32_t length, uint32_t address, bool is_register) {
  if (!open_) return fpga::kUnavailable;
  int fd = -1;
  off_t offset = 0;
  if (!place(address, is_register, read_fd_, &fd, &offset)) return fpga::kTransferFailed;
  auto* bytes = static_cast<uint8_t*>(buffer);
  const bool done = transfer_whole(length, [&](size_t done_bytes) {
    return ::pread(fd, bytes + done_bytes, length - done_bytes, offset + static_cast<off_t>(done_bytes));
  });
  return done ? fpga::kOk : fpga::kTransferFailed;
}

uint32_t XilinxFPGA::write_data(const void* data, uint32_t length, uint32_t address, bool is_register) {
  if (!open_) return fpga::kUnavailable;
  int fd = -1;
  off_t offset = 0;
  if (!place(address, is_register, write_fd_, &fd, &offset)) return fpga::kTransferFailed;
  const auto* bytes = static_cast<const uint8_t*>(data);
  const bool done = transfer_whole(length, [&](size_t done_bytes) {
    return ::pwrite(fd, bytes + done_bytes, length - done_bytes, offset + static_cast<off_t>(done_bytes));
  });
  return done ? fpga::kOk : fpga::kTransferFailed;
}

}  // namespace morla
