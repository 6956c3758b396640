#include "board_simulator.h"

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <utility>

#include "core/platform.h"
#include "drivers/bin_protocol.h"

namespace morla::sim {
namespace {

constexpr uint8_t kGarbage = 0x55;
constexpr uint32_t kLargestRead = 16u << 20;

uint32_t get_be32(const uint8_t* p) { return uint32_t{p[0]} << 24 | p[1] << 16 | p[2] << 8 | p[3]; }

void fail(const char* what) {
  throw std::runtime_error(std::string(what) + ": " + std::strerror(errno));
}

}  // namespace

BoardSimulator::BoardSimulator(const BoardConfig& board_config, bool start_in_binary_mode,
                               const DriverDeadlines& host)
    : host_(host), binary_(start_in_binary_mode) {
  soc_ = load_board(memory_, board_config);
  master_fd_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (master_fd_ < 0 || grantpt(master_fd_) != 0 || unlockpt(master_fd_) != 0)
    fail("pseudo-terminal");
  char name[128];
  if (ptsname_r(master_fd_, name, sizeof name) != 0) fail("ptsname");
  port_path_ = name;
  slave_fd_ = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (slave_fd_ < 0) fail("open slave");
  termios settings;
  tcgetattr(slave_fd_, &settings);
  cfmakeraw(&settings);
  tcsetattr(slave_fd_, TCSANOW, &settings);
  fcntl(master_fd_, F_SETFL, fcntl(master_fd_, F_GETFL) | O_NONBLOCK);
  if (pipe2(wake_fds_, O_CLOEXEC) != 0) fail("pipe");
  thread_ = std::thread([this] { run(); });
}

BoardSimulator::~BoardSimulator() {
  stop_ = true;
  const char byte = 0;
  [[maybe_unused]] ssize_t n = ::write(wake_fds_[1], &byte, 1);
  thread_.join();
  vanish();
  ::close(wake_fds_[0]);
  ::close(wake_fds_[1]);
}

void BoardSimulator::inject_fault(Fault fault, uint32_t frame) {
  std::lock_guard lock(mutex_);
  faults_[frames_.size() + frame] = fault;
}

std::vector<FrameRecord> BoardSimulator::frames() const {
  std::lock_guard lock(mutex_);
  return frames_;
}

void BoardSimulator::set_wire_capture(bool on) {
  std::lock_guard lock(mutex_);
  capture_ = on;
  wire_.clear();
}

std::vector<uint8_t> BoardSimulator::take_wire() {
  std::lock_guard lock(mutex_);
  return std::exchange(wire_, {});
}

void BoardSimulator::run() {
  std::vector<uint8_t> buffer(1 << 16);
  while (!stop_) {
    pollfd fds[2] = {{wake_fds_[0], POLLIN, 0}, {master_fd_, POLLIN, 0}};
    int timeout = flood_until_ != 0 ? 2 : -1;
    if (late_at_ != 0) {
      const int until_late = static_cast<int>(std::max<int64_t>(0, late_at_ - time_ms()));
      timeout = timeout < 0 ? until_late : std::min(timeout, until_late);
    }
    const int ready = ::poll(fds, master_fd_ >= 0 ? 2 : 1, timeout);
    if (ready < 0 && errno == EINTR) continue;
    if (fds[0].revents != 0) break;
    if (master_fd_ >= 0 && (fds[1].revents & POLLIN)) {
      const ssize_t n = ::read(master_fd_, buffer.data(), buffer.size());
      if (n > 0) {
        flood_until_ = 0;  // the host has moved on
        on_input(buffer.data(), static_cast<size_t>(n));
      }
    }
    if (flood_until_ != 0 && master_fd_ >= 0) {
      if (time_ms() > flood_until_) {
        flood_until_ = 0;
      } else {
        [[maybe_unused]] ssize_t n = ::write(master_fd_, flood_bytes_.data(), flood_bytes_.size());
      }
    }
    if (late_at_ != 0 && time_ms() >= late_at_) {
      late_at_ = 0;
      send(std::exchange(late_bytes_, {}));
    }
  }
}

void BoardSimulator::on_input(const uint8_t* data, size_t length) {
  input_.insert(input_.end(), data, data + length);
  while (master_fd_ >= 0 && step()) {
  }
  input_.erase(input_.begin(), input_.begin() + static_cast<ptrdiff_t>(consumed_));
  consumed_ = 0;
}

bool BoardSimulator::step() {
  if (consumed_ >= input_.size()) return false;
  if (!binary_) {
    text_byte(input_[consumed_++]);
    return true;
  }
  return binary_frame();
}

void BoardSimulator::text_byte(uint8_t byte) {
  const bool line_end = byte == '\r' || (byte == '\n' && last_text_byte_ != '\r');
  last_text_byte_ = byte;
  if (line_end) {
    if (line_ == "bin") {
      binary_ = true;
    } else if (chatter_ms_ > 0) {
      static constexpr char kLogLine[] = "[ 12.345] boot: still starting services\r\n";
      flood_bytes_.assign(kLogLine, kLogLine + sizeof kLogLine - 1);
      flood_until_ = time_ms() + chatter_ms_;
    } else {
      static constexpr char kPrompt[] = "\r\nmorla> ";
      send(reinterpret_cast<const uint8_t*>(kPrompt), sizeof kPrompt - 1);
    }
    line_.clear();
  } else if (byte >= 0x20 && byte < 0x7F) {
    line_ += static_cast<char>(byte);
  }
}

Fault* BoardSimulator::fault_for(uint64_t frame_index) {
  const auto it = faults_.find(frame_index);
  return it == faults_.end() ? nullptr : &it->second;
}

bool BoardSimulator::binary_frame() {
  const uint8_t* p = input_.data() + consumed_;
  const size_t available = input_.size() - consumed_;
  auto take = [&](size_t n) {
    std::lock_guard lock(mutex_);
    if (capture_) wire_.insert(wire_.end(), p, p + n);
    consumed_ += n;
  };
  if (p[0] != bin::kFrameStart) {
    take(1);
    return true;
  }
  if (available < 5) return false;
  const uint32_t frame_length = get_be32(p + 1);
  if (frame_length < 16) {  // not a frame: say so with an empty reply
    take(5);
    reply(16, 0, 0, 0, 0, nullptr, 0);
    return true;
  }
  if (available < 21) return false;
  const BinCommand block = decode_bin_command(p + 5);
  FrameRecord record{block.command, block.sequence, block.address, block.length, false};
  std::optional<Fault> fault;
  {
    std::lock_guard lock(mutex_);
    if (Fault* armed = fault_for(frames_.size() + 1)) fault = *armed;
  }
  if (fault == Fault::VanishMidTransfer) {
    {
      std::lock_guard lock(mutex_);
      frames_.push_back(record);
    }
    if (block.command == bin::kRead) {
      const std::vector<uint8_t> data(block.length / 2, 0x5A);
      reply(16 + block.length, block.command, block.sequence, block.address, block.length,
            data.data(), data.size());
    }
    vanish();
    return false;
  }
  const size_t payload = frame_length - 16;
  const bool extra = payload > 0 && payload % bin::kPieceSize == 0;
  if (available < 21 + payload + (extra ? 1 : 0)) return false;
  if (extra && p[21 + payload] != 0) ++protocol_errors_;
  const std::vector<uint8_t> payload_bytes(p + 21, p + 21 + payload);
  take(21 + payload + (extra ? 1 : 0));

  std::vector<uint8_t> data;
  uint32_t data_length = 0;
  switch (block.command) {
    case bin::kWrite:
      if (block.length != payload) {
        ++protocol_errors_;
      } else if (fault != Fault::Silence && fault != Fault::GarbageFlood) {
        memory_.write(block.address, payload_bytes.data(), payload);
        record.applied = true;
      }
      break;
    case bin::kRead:
      if (payload != 0 || block.length > kLargestRead) {
        ++protocol_errors_;
        break;
      }
      data.resize(block.length);
      memory_.read(block.address, data.data(), data.size());
      data_length = block.length;
      break;
    case bin::kLeaveBinary: binary_ = false; break;
    default: break;
  }
  {
    std::lock_guard lock(mutex_);
    frames_.push_back(record);
  }

  const uint32_t c = block.command, s = block.sequence, a = block.address;
  if (!fault) {
    reply(16 + data_length, c, s, a, data_length, data.data(), data.size());
    return true;
  }
  switch (*fault) {
    case Fault::Silence: break;
    case Fault::GarbageFlood:
      flood_bytes_.assign(64, kGarbage);
      // Twice as long as the host waits for a reply marker among other bytes.
      flood_until_ = time_ms() + 2 * host_.reply_marker.count();
      break;
    case Fault::LateReply:
      late_bytes_ = reply_bytes(16 + data_length, c, s, a, data_length, data.data(), data.size());
      late_at_ = time_ms() + late_reply_ms();
      break;
    case Fault::GarbageBeforeReply:
      send(std::vector<uint8_t>(37, kGarbage));
      reply(16 + data_length, c, s, a, data_length, data.data(), data.size());
      break;
    case Fault::WrongLengthField:
      reply(16 + data_length, c, s, a, data_length + 1, data.data(), data.size());
      break;
    case Fault::ShortReadReply: {
      const uint32_t short_length = data_length > 24 ? data_length - 24 : 0;
      reply(16 + short_length, c, s, a, short_length, data.data(), short_length);
      break;
    }
    case Fault::PartialData:
      reply(16 + data_length, c, s, a, data_length, data.data(), data.size() / 2);
      break;
    case Fault::VanishMidTransfer: break;  // handled above
  }
  return true;
}

void BoardSimulator::reply(uint32_t frame_length, uint32_t command, uint32_t sequence,
                           uint32_t address, uint32_t block_length, const uint8_t* data,
                           size_t data_count) {
  send(reply_bytes(frame_length, command, sequence, address, block_length, data, data_count));
}

std::vector<uint8_t> BoardSimulator::reply_bytes(uint32_t frame_length, uint32_t command,
                                                 uint32_t sequence, uint32_t address,
                                                 uint32_t block_length, const uint8_t* data,
                                                 size_t data_count) {
  std::vector<uint8_t> bytes;
  bytes.reserve(21 + data_count);
  const auto header = encode_frame_header(frame_length);
  bytes.assign(header.begin(), header.end());
  bytes[0] = bin::kReplyStart;
  const auto block = encode_bin_command({command, sequence, address, block_length});
  bytes.insert(bytes.end(), block.begin(), block.end());
  if (data_count > 0) bytes.insert(bytes.end(), data, data + data_count);
  return bytes;
}

void BoardSimulator::send(const uint8_t* data, size_t length) {
  size_t sent = 0;
  while (sent < length && master_fd_ >= 0 && !stop_) {
    const ssize_t n = ::write(master_fd_, data + sent, length - sent);
    if (n > 0) {
      sent += static_cast<size_t>(n);
    } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
      return;
    } else {
      pollfd entry{master_fd_, POLLOUT, 0};
      if (::poll(&entry, 1, 2000) == 0) return;  // the host stopped reading
    }
  }
}

void BoardSimulator::vanish() {
  if (master_fd_ >= 0) ::close(master_fd_);
  if (slave_fd_ >= 0) ::close(slave_fd_);
  master_fd_ = slave_fd_ = -1;
}

}  // namespace morla::sim
