#include "model/model_file.h"

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <signal.h>
#include <snappy-sinksource.h>
#include <snappy.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <stdexcept>

namespace morla {

namespace {

// A snappy element expands at most 64 bytes out of 3; with slack for the header.
constexpr uint64_t kMaxExpansion = 22;

class FileDescriptor {
 public:
  explicit FileDescriptor(int fd) : fd_(fd) {}
  ~FileDescriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  int get() const { return fd_; }
  // Closes now and reports whether the close succeeded.
  bool close() {
    const int fd = fd_;
    fd_ = -1;
    return ::close(fd) == 0;
  }

 private:
  int fd_;
};

std::string folder_of(const std::string& path) {
  const auto slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

bool write_all(int fd, const char* data, size_t size) {
  while (size > 0) {
    const ssize_t n = ::write(fd, data, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

// Snappy's raw block of `data` into `out`, which has room for MaxCompressedLength bytes;
// returns the block's length.
size_t compress_block(ByteRange data, char* out) {
  size_t length = 0;
  snappy::RawCompress(reinterpret_cast<const char*>(data.data), data.size, out, &length);
  return length;
}

// A model file holds at most what a signed 32-bit size counts, and so does the
// serialized model it decompresses to (one FlatBuffers buffer).
constexpr off_t kMaxFileBytes = 2147483647;
constexpr size_t kMaxSerializedBytes = 2147483647;
// The length header: a base-128 varint of a 32-bit value.
constexpr size_t kMaxVarintBytes = 5;
// A link chain longer than this is taken as a loop.
constexpr int kMaxLinks = 40;
// How long a write to a device or FIFO may wait for room.
constexpr int kWriteWaitMs = 10000;
constexpr const char* kTemporaryPrefix = ".morla-save-";

void refuse_embedded_nul(const std::string& path) {
  if (path.find('\0') != std::string::npos) throw std::invalid_argument("embedded null byte");
}

ssize_t read_some(int fd, char* data, size_t size) {
  for (;;) {
    const ssize_t n = ::read(fd, data, size);
    if (n >= 0 || errno != EINTR) return n;
  }
}

// The file's bytes handed to the decoder a piece at a time as they are read, after the
// bytes already read for the length header: the compressed block needs no buffer of its
// own, and each piece is decoded while it is still in cache. At most `remaining` bytes are
// read; a file that shrank ends the source early (only what was read counts).
class FileSource final : public snappy::Source {
 public:
  FileSource(int fd, size_t remaining, const char* head, size_t head_bytes)
      : fd_(fd), remaining_(remaining), begin_(head), end_(head + head_bytes) {}
  size_t Available() const override { return remaining_ + static_cast<size_t>(end_ - begin_); }
  const char* Peek(size_t* length) override {
    if (begin_ == end_) refill();
    *length = static_cast<size_t>(end_ - begin_);
    return begin_;
  }
  void Skip(size_t n) override { begin_ += n; }

 private:
  static constexpr size_t kPiece = size_t{256} << 10;  // within a core's L2 cache
  void refill() {
    if (remaining_ == 0) return;
    char* const piece = reinterpret_cast<char*>(piece_.data());
    const ssize_t n = read_some(fd_, piece, std::min(remaining_, kPiece));
    if (n <= 0) {
      remaining_ = 0;
      return;
    }
    remaining_ -= static_cast<size_t>(n);
    begin_ = piece;
    end_ = piece + n;
  }
  int fd_;
  size_t remaining_;
  OwnedBytes piece_ = OwnedBytes::uninitialized(kPiece);
  const char* begin_;
  const char* end_;
};

std::string base_of(const std::string& path) {
  const auto slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The path a chain of symbolic links leads to (the path itself when it is no link); none
// for a loop or an unreadable link.
std::optional<std::string> final_target(std::string path) {
  for (int hop = 0; hop < kMaxLinks; ++hop) {
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0 || !S_ISLNK(info.st_mode)) return path;
    std::string link(PATH_MAX, '\0');
    const ssize_t n = ::readlink(path.c_str(), link.data(), link.size());
    if (n < 0 || static_cast<size_t>(n) >= link.size()) return std::nullopt;
    link.resize(static_cast<size_t>(n));
    path = link.front() == '/' ? link : folder_of(path) + "/" + link;
  }
  return std::nullopt;
}

// One temporary name per target and process: a later save of the target finds those of
// processes that ended mid-save.
std::string temporary_name(const std::string& target) {
  return folder_of(target) + "/" + kTemporaryPrefix + base_of(target) + "-" +
         std::to_string(::getpid());
}

void remove_stale_temporaries(const std::string& target) {
  const std::string folder = folder_of(target);
  const std::string prefix = kTemporaryPrefix + base_of(target) + "-";
  std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(folder.c_str()), &::closedir);
  if (!dir) return;
  while (const dirent* entry = ::readdir(dir.get())) {
    const std::string name = entry->d_name;
    if (name.size() <= prefix.size() || name.compare(0, prefix.size(), prefix) != 0) continue;
    const std::string digits = name.substr(prefix.size());
    if (digits.find_first_not_of("0123456789") != std::string::npos || digits.size() > 9) continue;
    const auto pid = static_cast<pid_t>(std::stol(digits));
    // This process saves one file at a time: its own leftover is stale too.
    if (pid == ::getpid() || (::kill(pid, 0) != 0 && errno == ESRCH))
      ::unlink((folder + "/" + name).c_str());
  }
}

std::runtime_error write_error(const std::string& target, int error) {
  return std::runtime_error("Unable to write model file " + target + ": " + std::strerror(error));
}

// Writes everything to an open descriptor that may refuse to block (a FIFO, a device),
// waiting a bounded time for room.
void write_in_place(FileDescriptor& file, const std::string& target, const char* data,
                    size_t size) {
  while (size > 0) {
    const ssize_t n = ::write(file.get(), data, size);
    if (n >= 0) {
      data += n;
      size -= static_cast<size_t>(n);
      continue;
    }
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) throw write_error(target, errno);
    pollfd wait{file.get(), POLLOUT, 0};
    const int ready = ::poll(&wait, 1, kWriteWaitMs);
    if (ready == 0) throw write_error(target, ETIMEDOUT);
    if (ready < 0 && errno != EINTR) throw write_error(target, errno);
  }
  if (!file.close()) throw write_error(target, errno);
}

}  // namespace

OwnedBytes read_model_file(const std::string& filename) {
  refuse_embedded_nul(filename);
  // Without blocking: opening a FIFO for reading would wait for a writer.
  FileDescriptor file(::open(filename.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  struct stat info {};
  if (file.get() < 0 || ::fstat(file.get(), &info) != 0 || S_ISDIR(info.st_mode))
    throw std::runtime_error("File not found.");
  if (!S_ISREG(info.st_mode))
    throw std::runtime_error("Not a model file: '" + filename + "' is not a regular file.");
  if (info.st_size < 1) throw std::runtime_error("File is empty.");
  if (info.st_size > kMaxFileBytes)
    throw std::invalid_argument("Not a model file: '" + filename + "' has " +
                                std::to_string(info.st_size) + " bytes, more than the " +
                                std::to_string(kMaxFileBytes) + " a model file can hold.");
  const auto capacity = static_cast<size_t>(info.st_size);

  // The length header and the size it announces (no more than the file's bytes could
  // expand to, nor than a serialized model holds) are checked before the file is read.
  const auto corrupted = [] {
    return std::invalid_argument("Cannot uncompress corrupted serialization buffer");
  };
  char header[kMaxVarintBytes];
  const ssize_t header_bytes = read_some(file.get(), header, sizeof header);
  size_t announced = 0;
  if (header_bytes <= 0 ||
      !snappy::GetUncompressedLength(header, static_cast<size_t>(header_bytes), &announced) ||
      announced > capacity * kMaxExpansion + 64 || announced > kMaxSerializedBytes)
    throw corrupted();

  // Decompressed straight into the buffer the engine then verifies and keeps.
  OwnedBytes model = OwnedBytes::uninitialized(announced);
  char* const out = reinterpret_cast<char*>(model.data());
  // The decoder reports a failure for bytes after the block too: what counts is that the
  // block gave every byte it announced.
  const auto head = static_cast<size_t>(header_bytes);
  FileSource source(file.get(), capacity - std::min(capacity, head), header, head);
  snappy::UncheckedByteArraySink sink(out);
  snappy::Uncompress(&source, &sink);
  if (static_cast<size_t>(sink.CurrentDestination() - out) != announced) throw corrupted();
  return model;
}

std::string compress_model(ByteRange data) {
  std::string out(snappy::MaxCompressedLength(data.size), '\0');
  out.resize(compress_block(data, out.data()));
  return out;
}

void write_model_file(const std::string& model_file, ByteRange serialized) {
  refuse_embedded_nul(model_file);
  const auto cannot_open = [&] {
    return std::invalid_argument("Unable to open file for saving model: " + model_file);
  };
  // A symbolic link is followed: the file it leads to is saved, the link stays.
  const std::optional<std::string> resolved = final_target(model_file);
  if (!resolved) throw cannot_open();
  const std::string& target = *resolved;
  struct stat info {};
  const bool exists = ::stat(target.c_str(), &info) == 0;
  if (exists && S_ISDIR(info.st_mode)) throw cannot_open();
  // A target that exists must take writing before anything is written.
  FileDescriptor existing(exists ? ::open(target.c_str(), O_WRONLY | O_CLOEXEC | O_NONBLOCK) : -1);
  if (exists && existing.get() < 0) throw cannot_open();

  // Compressed whole and written at once: measured faster, for the save and for later reads,
  // than writing the compressor's fragments as they come.
  OwnedBytes compressed = OwnedBytes::uninitialized(snappy::MaxCompressedLength(serialized.size));
  char* const block = reinterpret_cast<char*>(compressed.data());
  const size_t length = compress_block(serialized, block);
  if (length > static_cast<size_t>(kMaxFileBytes))
    throw std::invalid_argument("Cannot save a model file of " + std::to_string(length) +
                                " bytes: a model file holds at most " +
                                std::to_string(kMaxFileBytes) + ".");

  // A device, a FIFO or a socket is written in place, never replaced.
  if (exists && !S_ISREG(info.st_mode)) return write_in_place(existing, target, block, length);

  remove_stale_temporaries(target);
  std::string temp_name = temporary_name(target);
  FileDescriptor temp(::open(temp_name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
  if (temp.get() < 0) {
    // The folder takes no new file: the serialized model is complete, so the target itself
    // is written (truncated, then filled). A failure part-way leaves a damaged file.
    if (exists) {
      if (::ftruncate(existing.get(), 0) != 0) throw write_error(target, errno);
      return write_in_place(existing, target, block, length);
    }
    throw cannot_open();
  }
  // Keep the permissions of the file being replaced, else the usual ones for a new file.
  mode_t mode = 0666;
  if (exists) {
    mode = info.st_mode & 07777;
  } else {
    const mode_t mask = ::umask(0);
    ::umask(mask);
    mode &= ~mask;
  }
  const int saved_errno = [&] {
    if (::fchmod(temp.get(), mode) != 0) return errno;
    if (!write_all(temp.get(), block, length)) return errno;
    // On disk before it replaces the old file, so that a crash leaves one or the other.
    if (::fsync(temp.get()) != 0) return errno;
    if (!temp.close()) return errno;
    if (::rename(temp_name.c_str(), target.c_str()) != 0) return errno;
    return 0;
  }();
  if (saved_errno != 0) {
    ::unlink(temp_name.c_str());
    throw write_error(target, saved_errno);
  }
}

}  // namespace morla
