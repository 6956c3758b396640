#pragma once
// The simulated board's 32-bit address space: sparse bytes (zero until written),
// with ranges of words that pluggable register handlers serve instead.
#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <vector>

namespace morla::sim {

// A register model (clock block, bus controller, counter...). Called for aligned
// 32-bit words inside its range, with the memory's lock held; it may read and
// write the memory itself (the lock is recursive).
class RegisterHandler {
 public:
  virtual ~RegisterHandler() = default;
  virtual uint32_t read_word(uint32_t address) = 0;
  virtual void write_word(uint32_t address, uint32_t value) = 0;
};

class BoardMemory {
 public:
  void read(uint32_t address, uint8_t* out, size_t length);
  void write(uint32_t address, const uint8_t* data, size_t length);
  uint32_t read_word(uint32_t address);
  void write_word(uint32_t address, uint32_t value);
  // The words of [base, base + size) are served by `handler` from now on.
  void add_handler(uint32_t base, uint32_t size, std::shared_ptr<RegisterHandler> handler);

 private:
  static constexpr uint32_t kPageBits = 12;
  using Page = std::array<uint8_t, size_t{1} << kPageBits>;
  struct HandlerRange {
    uint64_t base, end;
    std::shared_ptr<RegisterHandler> handler;
  };

  RegisterHandler* handler_for(uint32_t word_address) const;
  bool any_handler_in(uint32_t address, size_t length) const;
  void read_plain(uint32_t address, uint8_t* out, size_t length);
  void write_plain(uint32_t address, const uint8_t* data, size_t length);

  std::recursive_mutex mutex_;
  std::unordered_map<uint32_t, std::unique_ptr<Page>> pages_;
  std::vector<HandlerRange> handlers_;
};

}  // namespace morla::sim
