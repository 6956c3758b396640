// Reused storage: more blocks than the cache keeps, of sizes that repeat, each released
// dirty; every block acquired again starts on a cache line and, when asked, holds zeros.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include "core/block_cache.h"

namespace morla {
namespace {

TEST(BlockCache, ReusedBlocksAreAlignedAndZeroFilledWhenAsked) {
  const std::vector<size_t> sizes{1, 100, 65536, 65537, 200000, 1 << 20, 5 << 20, 20 << 20};
  for (int round = 0; round < 3; ++round) {
    std::vector<std::pair<void*, size_t>> held;
    for (int copy = 0; copy < 3; ++copy)
      for (size_t size : sizes) {
        auto* block = static_cast<uint8_t*>(acquire_block(size, round % 2 == 1));
        ASSERT_EQ(reinterpret_cast<uintptr_t>(block) % 64, 0u) << size;
        if (round % 2 == 1) {
          EXPECT_TRUE(std::all_of(block, block + size, [](uint8_t b) { return b == 0; })) << size;
        }
        std::memset(block, 0xA5, size);
        held.emplace_back(block, size);
      }
    for (const auto& [block, size] : held) release_block(block, size);
  }
}

}  // namespace
}  // namespace morla
