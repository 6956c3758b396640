#include "core/model_file.h"

#include <fcntl.h>
#include <snappy-sinksource.h>
#include <snappy.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
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

// Storage for bytes about to be overwritten: not zero-filled first.
std::shared_ptr<uint8_t[]> uninitialized_bytes(size_t size) {
  return std::shared_ptr<uint8_t[]>(new uint8_t[size]);
}

// Snappy's raw block of `data` into `out`, which has room for MaxCompressedLength bytes;
// returns the block's length.
size_t compress_block(ByteRange data, char* out) {
  size_t length = 0;
  snappy::RawCompress(reinterpret_cast<const char*>(data.data), data.size, out, &length);
  return length;
}

}  // namespace

SharedBytes read_model_file(const std::string& filename) {
  FileDescriptor file(::open(filename.c_str(), O_RDONLY | O_CLOEXEC));
  struct stat info {};
  if (file.get() < 0 || ::fstat(file.get(), &info) != 0 || S_ISDIR(info.st_mode))
    throw std::runtime_error("File not found.");
  if (info.st_size < 1) throw std::runtime_error("File is empty.");

  const auto capacity = static_cast<size_t>(info.st_size);
  const auto compressed = uninitialized_bytes(capacity);
  char* const block = reinterpret_cast<char*>(compressed.get());
  size_t got = 0;
  while (got < capacity) {
    const ssize_t n = ::read(file.get(), block + got, capacity - got);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;  // a file that shrank: only what was read counts
    got += static_cast<size_t>(n);
  }

  const auto corrupted = [] {
    return std::invalid_argument("Cannot uncompress corrupted serialization buffer");
  };
  size_t announced = 0;
  if (!snappy::GetUncompressedLength(block, got, &announced) ||
      announced > got * kMaxExpansion + 64)
    throw corrupted();
  const auto model = uninitialized_bytes(announced);
  char* const out = reinterpret_cast<char*>(model.get());
  // The decoder reports a failure for bytes after the block too: what counts is that the
  // block gave every byte it announced.
  snappy::ByteArraySource source(block, got);
  snappy::UncheckedByteArraySink sink(out);
  snappy::Uncompress(&source, &sink);
  if (static_cast<size_t>(sink.CurrentDestination() - out) != announced) throw corrupted();
  return SharedBytes(model, model.get(), announced);
}

std::string compress_model(ByteRange data) {
  std::string out(snappy::MaxCompressedLength(data.size), '\0');
  out.resize(compress_block(data, out.data()));
  return out;
}

void write_model_file(const std::string& model_file, ByteRange serialized) {
  struct stat target {};
  if (::stat(model_file.c_str(), &target) == 0 && S_ISDIR(target.st_mode))
    throw std::invalid_argument("Unable to open file for saving model: " + model_file);
  // Compressed whole and written at once: measured faster, for the save and for later reads,
  // than writing the compressor's fragments as they come.
  const auto compressed = uninitialized_bytes(snappy::MaxCompressedLength(serialized.size));
  char* const block = reinterpret_cast<char*>(compressed.get());
  const size_t length = compress_block(serialized, block);

  std::string temp_name = folder_of(model_file) + "/.morla-save-XXXXXX";
  FileDescriptor temp(::mkstemp(temp_name.data()));
  if (temp.get() < 0)
    throw std::invalid_argument("Unable to open file for saving model: " + model_file);
  // Keep the permissions of the file being replaced, else the usual ones for a new file.
  mode_t mode = 0666;
  if (::stat(model_file.c_str(), &target) == 0) {
    mode = target.st_mode & 07777;
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
    if (::rename(temp_name.c_str(), model_file.c_str()) != 0) return errno;
    return 0;
  }();
  if (saved_errno != 0) {
    ::unlink(temp_name.c_str());
    throw std::runtime_error("Unable to write model file " + model_file + ": " +
                             std::strerror(saved_errno));
  }
}

}  // namespace morla
