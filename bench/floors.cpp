// What the benchmarks compare against, built into the benchmark's own process (bench/paths.cpp
// links it; bench/rounds.py builds it with floors_python.cpp into one extension module and
// calls the .fbz floors through ctypes), so that each floor runs round by round beside the
// operation it bounds:
//   read_pass:  one vectorised pass over n words (an OR of 64-bit words, kept alive), in
//               independent chains so that it runs at the rate of the loads;
//   bound:      the floor of an operation in one call: each input copied and read once,
//               then the result's bytes copied (the copies the module's call makes);
//   fbz_load:   read a file whole and snappy_uncompress it (the C library the project links)
//               into buffers kept warm from call to call;
//   fbz_save:   snappy_compress n bytes, write them to a new file and fsync it.
//   at_offset_of: room for a copy at its source's offset in a page (floors.h).
// The fbz floors return 0 on success.
#include <fcntl.h>
#include <snappy-c.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "floors.h"

extern "C" {

// Blocks of the widest vector register OR-ed into 8 accumulators, each its own dependency
// chain: the loads, not one chain of ORs, set the pace.
#if defined(__AVX512F__)
using Block = uint64_t __attribute__((vector_size(64)));
#else
using Block = uint64_t __attribute__((vector_size(32)));
#endif

uint64_t read_pass(const uint64_t* words, size_t n) {
  constexpr size_t kWords = sizeof(Block) / sizeof(uint64_t), kChains = 8;
  Block acc[kChains] = {};
  size_t i = 0;
  for (; i + kChains * kWords <= n; i += kChains * kWords)
    for (size_t k = 0; k < kChains; ++k) {
      Block block;
      std::memcpy(&block, words + i + k * kWords, sizeof block);
      acc[k] |= block;
    }
  uint64_t seen = 0;
  for (; i < n; ++i) seen |= words[i];
  Block all = acc[0];
  for (size_t k = 1; k < kChains; ++k) all |= acc[k];
  for (size_t k = 0; k < kWords; ++k) seen |= all[k];
  return seen;
}

uint64_t bound(size_t count, const void* const* inputs, void* const* copies, const size_t* sizes,
               const void* result, void* result_copy, size_t result_bytes) {
  uint64_t seen = 0;
  for (size_t i = 0; i < count; ++i) {
    std::memcpy(copies[i], inputs[i], sizes[i]);
    seen |= read_pass(static_cast<const uint64_t*>(copies[i]), sizes[i] / 8);
  }
  std::memcpy(result_copy, result, result_bytes);
  return seen;
}

int fbz_load(const char* path) {
  // Warm buffers, kept from call to call: the floor pays no page faults for fresh memory.
  static char *file = nullptr, *out = nullptr;
  static size_t file_room = 0, out_room = 0;
  const auto room = [](char*& buffer, size_t& had, size_t need) {
    if (need > had) buffer = static_cast<char*>(std::realloc(buffer, had = need));
    return buffer != nullptr;
  };
  const int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return 1;
  struct stat info {};
  if (fstat(fd, &info) != 0) return close(fd), 2;
  const size_t size = static_cast<size_t>(info.st_size);
  if (!room(file, file_room, size ? size : 1)) return close(fd), 2;
  size_t got = 0;
  while (got < size) {
    const ssize_t n = read(fd, file + got, size - got);
    if (n <= 0) break;
    got += static_cast<size_t>(n);
  }
  close(fd);
  size_t length = 0;
  if (got != size || snappy_uncompressed_length(file, size, &length) != SNAPPY_OK) return 3;
  if (!room(out, out_room, length ? length : 1)) return 4;
  return snappy_uncompress(file, size, out, &length) == SNAPPY_OK ? 0 : 4;
}

int fbz_save(const char* path, const char* data, size_t n) {
  size_t length = snappy_max_compressed_length(n);
  char* packed = static_cast<char*>(std::malloc(length));
  int status = snappy_compress(data, n, packed, &length) == SNAPPY_OK ? 0 : 1;
  const int fd = status == 0 ? open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644) : -1;
  if (fd < 0) status = status ? status : 2;
  for (size_t sent = 0; status == 0 && sent < length;) {
    const ssize_t w = write(fd, packed + sent, length - sent);
    if (w <= 0)
      status = 3;
    else
      sent += static_cast<size_t>(w);
  }
  if (fd >= 0) {
    if (status == 0 && fsync(fd) != 0) status = 4;
    close(fd);
  }
  std::free(packed);
  return status;
}
}

char* at_offset_of(const void* source, size_t bytes, std::vector<char>& room) {
  room.resize(bytes + 4096);
  const auto shift =
      (reinterpret_cast<uintptr_t>(source) - reinterpret_cast<uintptr_t>(room.data())) % 4096;
  return room.data() + shift;
}
