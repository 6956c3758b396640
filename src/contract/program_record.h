#pragma once
// The NP programs one recorder produces for one layer (or for a sequence's input): word
// buffers of NP blocks, each block opened by a two-word header naming its target
// component, its kind and its length.
#include <cstdint>
#include <memory>
#include <vector>

#include "core/hw_ident.h"

namespace morla::program {

using WordBuffer = std::vector<uint32_t>;

// A buffer never exceeds this many words, headers and padding included.
inline constexpr uint32_t kMaxBufferWords = 65535;
// Blocks of at least this many words take the long form (padded to 16-word units).
inline constexpr uint32_t kLongBlockWords = 16383;

// Words kept apart from the NP buffers (an FNP2's weights, which live in external memory).
struct ExternalBlock {
  uint32_t key = 0;
  std::vector<uint32_t> words;
};

class Record {
 public:
  explicit Record(uint32_t key) : key_(key) {}
  virtual ~Record() = default;
  Record(const Record&) = delete;
  Record& operator=(const Record&) = delete;

  // Appends one block. With `same_buffer` the block may join the last buffer; when it does
  // not fit there it opens a new buffer (long form allowed). Throws std::runtime_error
  // "Error generating NP program." when it fits nowhere. Always returns true.
  bool append_np_program(const hw::Ident& ident, uint32_t type, uint16_t field,
                         const std::vector<uint32_t>& words, bool with_length, bool same_buffer);
  // Replaces the external block.
  void set_external_block(uint32_t key, const std::vector<uint32_t>& words);

  uint32_t key() const { return key_; }
  const std::vector<WordBuffer>& buffers() const { return buffers_; }
  const ExternalBlock* external_block() const { return external_.get(); }

 private:
  std::vector<WordBuffer> buffers_;
  std::unique_ptr<ExternalBlock> external_;
  uint32_t key_;
};

using RecordPtr = std::unique_ptr<Record>;

// A 32-bit key from a component's ident (its four bytes in order, little-endian).
uint32_t ident_key(const hw::Ident& ident);
hw::Ident key_ident(uint32_t key);

bool is_long_np_block(uint32_t n);
// Writes the two header words (cleared first). `length` is in words; the long form stores
// length / 16. Every field goes through set_register_field.
void write_np_block_header(uint32_t out[2], const hw::Ident& ident, uint32_t type, uint32_t length,
                           uint16_t field, bool long_form);
// The two header words in one value (word 0 low), short form.
uint64_t make_np_block_header(const hw::Ident& ident, uint32_t type, uint32_t length,
                              uint16_t field);
// Appends one block (header, words, padding) to `buffer`, or returns false and leaves the
// buffer unchanged when it does not fit.
bool append_block_to_buffer(WordBuffer& buffer, const hw::Ident& ident, uint32_t type,
                            uint16_t field, const std::vector<uint32_t>& words, bool long_allowed,
                            bool with_length);

}  // namespace morla::program
