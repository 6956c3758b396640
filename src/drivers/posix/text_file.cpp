#include "drivers/posix/text_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace morla {

std::string write_text_file(const std::string& path, const std::string& text) {
  int fd;
  do {
    fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NONBLOCK | O_CLOEXEC, 0666);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return std::strerror(errno);
  // Open at last: a reader that is there is waited for like any file.
  const int status = ::fcntl(fd, F_GETFL);
  if (status < 0 || ::fcntl(fd, F_SETFL, status & ~O_NONBLOCK) != 0) {
    const std::string reason = std::strerror(errno);
    ::close(fd);
    return reason;
  }
  size_t done = 0;
  while (done < text.size()) {
    const ssize_t written = ::write(fd, text.data() + done, text.size() - done);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) {
      const std::string reason = written < 0 ? std::strerror(errno) : "nothing written";
      ::close(fd);
      return reason;
    }
    done += static_cast<size_t>(written);
  }
  if (::close(fd) != 0 && errno != EINTR) return std::strerror(errno);
  return {};
}

}  // namespace morla
