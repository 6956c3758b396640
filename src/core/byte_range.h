#pragma once
#include <cstddef>
#include <cstdint>

namespace morla {

// A range of bytes owned elsewhere; data is null when there is none.
struct ByteRange {
  const uint8_t* data = nullptr;
  size_t size = 0;
};

}  // namespace morla
