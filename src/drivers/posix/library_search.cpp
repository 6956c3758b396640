#include "drivers/posix/library_search.h"

#include <dlfcn.h>
#include <link.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <fstream>

#include "drivers/posix/elf_image.h"

namespace morla {
namespace {

constexpr const char* kLoaderCache = "/etc/ld.so.cache";
// A cache file is a few tens of KiB; anything far beyond is no cache.
constexpr std::streamsize kMaxCacheBytes = 64 << 20;

// The cache's layouts, in this machine's byte order.
constexpr char kOldMagic[] = "ld.so-1.7.0";
constexpr char kNewMagic[] = "glibc-ld.so.cache1.1";
constexpr size_t kOldHeaderBytes = 16;  // magic, padding, entry count
constexpr size_t kOldEntryBytes = 12;   // flags, key, value
struct NewHeader {
  char magic[sizeof kNewMagic - 1];
  uint32_t entries;
  uint32_t string_bytes;
  uint8_t flags;
  uint8_t padding[3];
  uint32_t extension_offset;
  uint32_t unused[3];
};
struct NewEntry {
  int32_t flags;
  uint32_t key;  // offsets of NUL-terminated strings from the start of the header
  uint32_t value;
  uint32_t os_version;
  uint64_t hwcap;
};
static_assert(sizeof(NewHeader) == 48 && sizeof(NewEntry) == 24);
// The entry type of a library for the C library of ELF systems (the low byte of flags).
constexpr int32_t kTypeMask = 0xff;
constexpr int32_t kElfLibc6 = 3;

// The NUL-terminated string at `offset` of `bytes`, if it ends inside them.
bool string_at(const std::string& bytes, uint64_t offset, std::string& out) {
  if (offset >= bytes.size()) return false;
  const size_t end = bytes.find('\0', offset);
  if (end == std::string::npos) return false;
  out.assign(bytes, offset, end - offset);
  return true;
}

// The folders of the loader's search path for the object that holds this code (dlopen
// searches those of its caller), as the loader itself lists them.
std::vector<std::string> search_folders() {
  Dl_info info;
  void* map = nullptr;
  if (::dladdr1(reinterpret_cast<void*>(&search_folders), &info, &map, RTLD_DL_LINKMAP) == 0 ||
      map == nullptr)
    return {};
  Dl_serinfo size;
  if (::dlinfo(map, RTLD_DI_SERINFOSIZE, &size) != 0) return {};
  std::vector<Dl_serinfo> buffer(size.dls_size / sizeof(Dl_serinfo) + 1);
  if (::dlinfo(map, RTLD_DI_SERINFOSIZE, buffer.data()) != 0 ||
      ::dlinfo(map, RTLD_DI_SERINFO, buffer.data()) != 0)
    return {};
  std::vector<std::string> folders;
  const Dl_serpath* paths = buffer.front().dls_serpath;
  for (unsigned i = 0; i < buffer.front().dls_cnt; ++i) folders.emplace_back(paths[i].dls_name);
  return folders;
}

bool usable(const std::string& path) {
  return ::access(path.c_str(), F_OK) == 0 && !is_foreign_elf_object(path);
}

}  // namespace

std::vector<std::string> cached_library_paths(const std::string& cache_file,
                                              const std::string& name) {
  std::ifstream file(cache_file, std::ios::binary | std::ios::ate);
  const std::streamsize size = file ? static_cast<std::streamsize>(file.tellg()) : -1;
  if (size < 0 || size > kMaxCacheBytes) return {};
  std::string bytes(static_cast<size_t>(size), '\0');
  file.seekg(0);
  file.read(bytes.data(), size);
  bytes.resize(static_cast<size_t>(file.gcount()));
  // The new table stands alone, or follows the old one at the next 8-byte boundary.
  size_t base = 0;
  if (bytes.compare(0, sizeof kOldMagic - 1, kOldMagic) == 0 && bytes.size() >= kOldHeaderBytes) {
    uint32_t old_entries;
    std::memcpy(&old_entries, bytes.data() + 12, sizeof old_entries);
    base = (kOldHeaderBytes + uint64_t{old_entries} * kOldEntryBytes + 7) & ~uint64_t{7};
  }
  NewHeader header;
  if (base > bytes.size() || bytes.size() - base < sizeof header) return {};
  std::memcpy(&header, bytes.data() + base, sizeof header);
  if (std::memcmp(header.magic, kNewMagic, sizeof header.magic) != 0) return {};
  const std::string table = bytes.substr(base);
  if (header.entries > (table.size() - sizeof header) / sizeof(NewEntry)) return {};
  std::vector<std::string> paths;
  std::string key, value;
  for (uint32_t i = 0; i < header.entries; ++i) {
    NewEntry entry;
    std::memcpy(&entry, table.data() + sizeof header + i * sizeof entry, sizeof entry);
    if ((entry.flags & kTypeMask) == kElfLibc6 && string_at(table, entry.key, key) && key == name &&
        string_at(table, entry.value, value))
      paths.push_back(value);
  }
  return paths;
}

std::string find_shared_library(const std::string& name) {
  for (const std::string& folder : search_folders())
    if (const std::string path = folder + "/" + name; usable(path)) return path;
  for (const std::string& path : cached_library_paths(kLoaderCache, name))
    if (usable(path)) return path;
  return {};
}

}  // namespace morla
