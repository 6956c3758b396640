#include "core/model_file.h"

#include <fcntl.h>
#include <snappy.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
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

}  // namespace

std::vector<char> read_model_file(const std::string& filename) {
  FileDescriptor file(::open(filename.c_str(), O_RDONLY | O_CLOEXEC));
  struct stat info {};
  if (file.get() < 0 || ::fstat(file.get(), &info) != 0 || S_ISDIR(info.st_mode))
    throw std::runtime_error("File not found.");
  if (info.st_size < 1) throw std::runtime_error("File is empty.");

  std::vector<char> compressed(static_cast<size_t>(info.st_size), 0);
  size_t got = 0;
  while (got < compressed.size()) {
    const ssize_t n = ::read(file.get(), compressed.data() + got, compressed.size() - got);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;  // a file that shrank: what was read stays, the rest is zero
    got += static_cast<size_t>(n);
  }

  size_t announced = 0;
  if (!snappy::GetUncompressedLength(compressed.data(), compressed.size(), &announced) ||
      announced > compressed.size() * kMaxExpansion + 64)
    throw std::invalid_argument("Cannot uncompress corrupted serialization buffer");
  std::vector<char> model(announced, 0);
  // A damaged block leaves the buffer partly filled; the engine refuses such content.
  snappy::RawUncompress(compressed.data(), compressed.size(), model.data());
  return model;
}

std::string compress_model(const std::vector<uint8_t>& data) {
  std::string out(snappy::MaxCompressedLength(data.size()), '\0');
  size_t length = 0;
  snappy::RawCompress(reinterpret_cast<const char*>(data.data()), data.size(), out.data(),
                      &length);
  out.resize(length);
  return out;
}

void write_model_file(const std::string& model_file, const std::vector<uint8_t>& serialized) {
  struct stat target {};
  if (::stat(model_file.c_str(), &target) == 0 && S_ISDIR(target.st_mode))
    throw std::invalid_argument("Unable to open file for saving model: " + model_file);
  const std::string compressed = compress_model(serialized);

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
    if (!write_all(temp.get(), compressed.data(), compressed.size())) return errno;
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
