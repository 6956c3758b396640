#pragma once
// The NP blocks of a program record, read back from their headers: one reader for every
// back end's tests.

#include <cstdint>
#include <vector>

#include "contract/program_record.h"

namespace morla::record_test {

// One block of a record as its header tells it.
struct Block {
  uint8_t col, row, mask, code;  // code: the 4-bit type code of the header
  uint32_t field;                // the 16-bit field
  std::vector<uint32_t> words;
};

inline std::vector<Block> blocks_of(const program::Record& record) {
  std::vector<Block> out;
  for (const auto& buffer : record.buffers()) {
    size_t i = 0;
    while (i + 2 <= buffer.size()) {
      const uint32_t h0 = buffer[i], h1 = buffer[i + 1];
      const bool long_form = h1 >> 31;
      const uint32_t length = ((h1 >> 16) & 0x3FFF) * (long_form ? 16 : 1);
      out.push_back(
          Block{static_cast<uint8_t>(h0 >> 24), static_cast<uint8_t>(h0 >> 16),
                static_cast<uint8_t>((h0 >> 8) & 0xF), static_cast<uint8_t>(h0 & 0xF), h1 & 0xFFFF,
                std::vector<uint32_t>(buffer.begin() + i + 2, buffer.begin() + i + 2 + length)});
      i += 2 + length;
    }
  }
  return out;
}

}  // namespace morla::record_test
