#include "board_memory.h"

#include <algorithm>
#include <cstring>

namespace morla::sim {
namespace {

// Calls fn(address, offset in its word, position in the access, byte count) for
// each piece of an access that stays within one aligned word.
template <typename Fn>
void for_each_word_piece(uint32_t address, size_t length, Fn fn) {
  for (size_t i = 0; i < length;) {
    const uint32_t at = address + static_cast<uint32_t>(i);
    const uint32_t offset = at & 3u;
    const size_t n = std::min<size_t>(4 - offset, length - i);
    fn(at, offset, i, n);
    i += n;
  }
}

}  // namespace

RegisterHandler* BoardMemory::handler_for(uint32_t word_address) const {
  for (const auto& range : handlers_)
    if (word_address >= range.base && word_address < range.end) return range.handler.get();
  return nullptr;
}

bool BoardMemory::any_handler_in(uint32_t address, size_t length) const {
  const uint64_t begin = address & ~3u, end = uint64_t{address} + length;
  for (const auto& range : handlers_)
    if (range.base < end && begin < range.end) return true;
  // An access that wraps past the top of the address space checks its low part too.
  return end > (uint64_t{1} << 32) &&
         any_handler_in(0, static_cast<size_t>(end - (uint64_t{1} << 32)));
}

void BoardMemory::read_plain(uint32_t address, uint8_t* out, size_t length) {
  while (length > 0) {
    const uint32_t offset = address & ((1u << kPageBits) - 1);
    const size_t n = std::min(length, size_t{1u << kPageBits} - offset);
    const auto page = pages_.find(address >> kPageBits);
    if (page == pages_.end())
      std::memset(out, 0, n);
    else
      std::memcpy(out, page->second->data() + offset, n);
    address += static_cast<uint32_t>(n);
    out += n;
    length -= n;
  }
}

void BoardMemory::write_plain(uint32_t address, const uint8_t* data, size_t length) {
  while (length > 0) {
    const uint32_t offset = address & ((1u << kPageBits) - 1);
    const size_t n = std::min(length, size_t{1u << kPageBits} - offset);
    auto& page = pages_[address >> kPageBits];
    if (!page) page = std::make_unique<Page>(Page{});
    std::memcpy(page->data() + offset, data, n);
    address += static_cast<uint32_t>(n);
    data += n;
    length -= n;
  }
}

void BoardMemory::read(uint32_t address, uint8_t* out, size_t length) {
  std::lock_guard lock(mutex_);
  if (!any_handler_in(address, length)) return read_plain(address, out, length);
  for_each_word_piece(address, length, [&](uint32_t at, uint32_t offset, size_t i, size_t n) {
    if (RegisterHandler* handler = handler_for(at & ~3u)) {
      const uint32_t word = handler->read_word(at & ~3u);
      for (size_t k = 0; k < n; ++k) out[i + k] = static_cast<uint8_t>(word >> (8 * (offset + k)));
    } else {
      read_plain(at, out + i, n);
    }
  });
}

void BoardMemory::write(uint32_t address, const uint8_t* data, size_t length) {
  std::lock_guard lock(mutex_);
  if (!any_handler_in(address, length)) return write_plain(address, data, length);
  for_each_word_piece(address, length, [&](uint32_t at, uint32_t offset, size_t i, size_t n) {
    if (RegisterHandler* handler = handler_for(at & ~3u)) {
      uint32_t word = n == 4 ? 0 : handler->read_word(at & ~3u);
      for (size_t k = 0; k < n; ++k) {
        const uint32_t shift = 8 * static_cast<uint32_t>(offset + k);
        word = (word & ~(0xFFu << shift)) | uint32_t{data[i + k]} << shift;
      }
      handler->write_word(at & ~3u, word);
    } else {
      write_plain(at, data + i, n);
    }
  });
}

uint32_t BoardMemory::read_word(uint32_t address) {
  uint8_t b[4];
  read(address, b, 4);
  return b[0] | b[1] << 8 | b[2] << 16 | uint32_t{b[3]} << 24;
}

void BoardMemory::write_word(uint32_t address, uint32_t value) {
  const uint8_t b[4] = {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8),
                        static_cast<uint8_t>(value >> 16), static_cast<uint8_t>(value >> 24)};
  write(address, b, 4);
}

void BoardMemory::add_handler(uint32_t base, uint32_t size,
                              std::shared_ptr<RegisterHandler> handler) {
  std::lock_guard lock(mutex_);
  handlers_.push_back({base, uint64_t{base} + size, std::move(handler)});
}

}  // namespace morla::sim
