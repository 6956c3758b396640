#include "fpga_board_files.h"

#include <fcntl.h>
#include <unistd.h>

#include <filesystem>
#include <stdexcept>

namespace morla::sim {
namespace {

// The board's memory spans the whole 32-bit address space.
constexpr off_t kMemorySize = off_t{1} << 32;

void make_sparse_file(const std::string& path, off_t size) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (fd < 0 || ::ftruncate(fd, size) != 0) throw std::runtime_error("cannot make " + path);
  ::close(fd);
}

int open_or_throw(const std::string& file, int flags) {
  const int fd = ::open(file.c_str(), flags);
  if (fd < 0) throw std::runtime_error("cannot open " + file);
  return fd;
}

}  // namespace

uint32_t file_word(const std::string& file, uint64_t offset) {
  const int fd = open_or_throw(file, O_RDONLY);
  uint32_t value = 0;
  const ssize_t n = ::pread(fd, &value, sizeof value, static_cast<off_t>(offset));
  ::close(fd);
  if (n != sizeof value) throw std::runtime_error("cannot read " + file);
  return value;
}

void write_file_word(const std::string& file, uint64_t offset, uint32_t value) {
  const int fd = open_or_throw(file, O_WRONLY);
  const ssize_t n = ::pwrite(fd, &value, sizeof value, static_cast<off_t>(offset));
  ::close(fd);
  if (n != sizeof value) throw std::runtime_error("cannot write " + file);
}

FpgaBoardFiles::FpgaBoardFiles(const BoardConfig& board_config, uint32_t soc_id)
    : folder_("morla-fpga") {
  make_sparse_file(user_file(), kWindowSize);
  make_sparse_file(memory_file(), kMemorySize);
  std::filesystem::create_symlink(memory_file(), write_channel());
  // The driver's registers start at address 0, the start of the window.
  for (const BoardWord& word : board_words(board_config, 0))
    write_file_word(word.address < kWindowSize ? user_file() : memory_file(), word.address,
                    word.value);
  write_file_word(user_file(), kSocNameWord, soc_id << 20);
}

}  // namespace morla::sim
