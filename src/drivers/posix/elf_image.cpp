#include "drivers/posix/elf_image.h"

#include <dlfcn.h>
#include <elf.h>
#include <fcntl.h>
#include <link.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <vector>

#include "drivers/posix/file_descriptor.h"

namespace morla {
namespace {

// This process's ELF class (ElfW picks the 32- or 64-bit form).
using Header = ElfW(Ehdr);
using ProgramHeader = ElfW(Phdr);
#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
constexpr unsigned char kByteOrder = ELFDATA2LSB;
#else
constexpr unsigned char kByteOrder = ELFDATA2MSB;
#endif
constexpr unsigned char kClass = sizeof(void*) == 8 ? ELFCLASS64 : ELFCLASS32;

bool read_at(int fd, void* buffer, size_t length, uint64_t offset) {
  auto* bytes = static_cast<char*>(buffer);
  while (length > 0) {
    const ssize_t n = ::pread(fd, bytes, length, static_cast<off_t>(offset));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    bytes += n;
    length -= static_cast<size_t>(n);
    offset += static_cast<uint64_t>(n);
  }
  return true;
}

// [offset, offset + length) inside a file of `size` bytes, without overflow.
bool inside(uint64_t offset, uint64_t length, uint64_t size) {
  return offset <= size && length <= size - offset;
}

bool whole_object(int fd, uint64_t size) {
  Header header;
  if (size < sizeof header || !read_at(fd, &header, sizeof header, 0)) return false;
  if (std::memcmp(header.e_ident, ELFMAG, SELFMAG) != 0 || header.e_ident[EI_CLASS] != kClass ||
      header.e_ident[EI_DATA] != kByteOrder || header.e_phentsize != sizeof(ProgramHeader) ||
      header.e_phnum == 0 || header.e_phnum == PN_XNUM)
    return false;
  const uint64_t table = uint64_t{header.e_phnum} * sizeof(ProgramHeader);
  if (!inside(header.e_phoff, table, size)) return false;
  std::vector<ProgramHeader> segments(header.e_phnum);
  if (!read_at(fd, segments.data(), table, header.e_phoff)) return false;
  for (const ProgramHeader& segment : segments)
    if (!inside(segment.p_offset, segment.p_filesz, size)) return false;
  return true;
}

// The machine of this process's code, from the header of the object that holds it.
ElfW(Half) host_machine() {
  Dl_info info;
  if (::dladdr(reinterpret_cast<void*>(&host_machine), &info) == 0 || info.dli_fbase == nullptr)
    return EM_NONE;
  return static_cast<const Header*>(info.dli_fbase)->e_machine;
}

}  // namespace

bool is_foreign_elf_object(const std::string& path) {
  const FileDescriptor file = open_without_waiting(path, O_RDONLY);
  // The identification bytes, then e_type and e_machine: the same in both classes.
  unsigned char start[EI_NIDENT + 4];
  if (!file.is_open() || !read_at(file.get(), start, sizeof start, 0) ||
      std::memcmp(start, ELFMAG, SELFMAG) != 0)
    return false;
  if (start[EI_CLASS] != kClass || start[EI_DATA] != kByteOrder) return true;
  ElfW(Half) machine;
  std::memcpy(&machine, start + EI_NIDENT + 2, sizeof machine);
  return machine != host_machine();
}

bool is_whole_elf_object(const std::string& path) {
  const FileDescriptor file = open_without_waiting(path, O_RDONLY);
  struct stat info;
  return file.is_open() && ::fstat(file.get(), &info) == 0 && S_ISREG(info.st_mode) &&
         whole_object(file.get(), static_cast<uint64_t>(info.st_size));
}

}  // namespace morla
