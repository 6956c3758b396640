#include "core/block_cache.h"

#include <array>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>

namespace morla {

namespace {

// Blocks from this size on go through the cache; smaller ones the allocator keeps well.
constexpr size_t kLargeBlock = size_t{64} << 10;
// At most this many blocks and bytes kept while unused.
constexpr size_t kSlots = 16;
constexpr size_t kCachedBytes = size_t{48} << 20;
constexpr size_t kPage = 4096;
constexpr size_t kAlignment = 64;

size_t rounded(size_t bytes) { return (bytes + kPage - 1) / kPage * kPage; }

// Storage from the allocator: large blocks whole pages, small ones whole cache lines.
void* allocate(size_t size, bool zeros) {
  void* block = std::aligned_alloc(kAlignment, (size + kAlignment - 1) / kAlignment * kAlignment);
  if (!block) throw std::bad_alloc();
  if (zeros) std::memset(block, 0, size);
  return block;
}

// The kept blocks, oldest first; a block that does not fit pushes the oldest out.
struct Cache {
  std::mutex mutex;
  std::array<void*, kSlots> blocks{};
  std::array<size_t, kSlots> sizes{};  // rounded sizes
  size_t count = 0, bytes = 0;

  void remove(size_t i) {
    bytes -= sizes[i];
    for (size_t k = i + 1; k < count; ++k) {
      blocks[k - 1] = blocks[k];
      sizes[k - 1] = sizes[k];
    }
    --count;
  }
};

Cache& cache() {
  static Cache* instance = new Cache();  // never destroyed: tensors may outlive statics
  return *instance;
}

void* take(size_t size) {
  Cache& c = cache();
  std::lock_guard<std::mutex> lock(c.mutex);
  for (size_t i = c.count; i-- > 0;)  // the newest first: its pages are the warmest
    if (c.sizes[i] == size) {
      void* block = c.blocks[i];
      c.remove(i);
      return block;
    }
  return nullptr;
}

}  // namespace

void* acquire_block(size_t bytes, bool zeros) {
  if (bytes == 0) bytes = 1;
  if (bytes > SIZE_MAX - kPage) throw std::bad_alloc();
  if (bytes < kLargeBlock) return allocate(bytes, zeros);
  if (void* block = take(rounded(bytes))) {
    if (zeros) std::memset(block, 0, bytes);
    return block;
  }
  return allocate(rounded(bytes), zeros);
}

void release_block(void* block, size_t bytes) noexcept {
  if (!block) return;
  if (bytes == 0) bytes = 1;
  const size_t size = rounded(bytes);
  if (bytes < kLargeBlock || size > kCachedBytes) return std::free(block);
  std::array<void*, kSlots> dropped{};
  size_t drops = 0;
  {
    Cache& c = cache();
    std::lock_guard<std::mutex> lock(c.mutex);
    while (c.count == kSlots || c.bytes + size > kCachedBytes) {
      dropped[drops++] = c.blocks[0];
      c.remove(0);
    }
    c.blocks[c.count] = block;
    c.sizes[c.count++] = size;
    c.bytes += size;
  }
  for (size_t i = 0; i < drops; ++i) std::free(dropped[i]);
}

}  // namespace morla
