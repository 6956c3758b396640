#pragma once
// Word images made of 64-bit slots, each held as two program words with the low one first
// (slot bit p lies in the first word when p < 32, else in the second at p - 32).
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <vector>

namespace morla {

// ORs `bits` (bit p of the value at slot bit `bit` + p; none may pass bit 63) into the slot
// whose first word is `slot_word`. A set bit in a word outside the image throws
// std::out_of_range.
inline void or_slot_bits(std::vector<uint32_t>& words, size_t slot_word, uint32_t bit,
                         uint64_t bits) {
  const uint64_t shifted = bits << bit;
  const auto low = static_cast<uint32_t>(shifted);
  const auto high = static_cast<uint32_t>(shifted >> 32);
  if (slot_word + 1 < words.size()) {
    // Both words exist: OR-ing zeros changes nothing, and no branch depends on the values.
    words[slot_word] |= low;
    words[slot_word + 1] |= high;
    return;
  }
  if ((low != 0 && slot_word >= words.size()) || high != 0)
    throw std::out_of_range("Weight bits outside their image.");
  if (low != 0) words[slot_word] |= low;
}

// A write position that runs over consecutive slots from `base_word`, `used` bits of each: a
// code that reaches a slot's end goes on at bit 0 of the next one. A slot's bits are gathered
// and written when the cursor leaves it: finish() writes the last one.
class SlotCursor {
 public:
  SlotCursor(std::vector<uint32_t>& words, size_t base_word, uint32_t used)
      : words_(words), base_(base_word), used_(used) {}

  // The low `count` bits of `code` (count at most 32), lowest first.
  void put(uint32_t code, uint32_t count) {
    uint64_t rest = code & ((uint64_t{1} << count) - 1);
    if (bit_ + count < used_) {  // the common case: the code fits the current slot
      pending_ |= rest << bit_;
      bit_ += count;
      return;
    }
    while (count > 0) {
      const uint32_t n = count < used_ - bit_ ? count : used_ - bit_;
      pending_ |= (rest & ((uint64_t{1} << n) - 1)) << bit_;
      rest >>= n;
      count -= n;
      bit_ += n;
      if (bit_ == used_) next_slot();
    }
  }
  void next_slot() {
    finish();
    ++slot_;
    bit_ = 0;
  }
  // Moves to the next slot unless the current one is still empty.
  void align() {
    if (bit_ != 0) next_slot();
  }
  // Writes the bits gathered for the current slot.
  void finish() {
    if (pending_ != 0) or_slot_bits(words_, base_ + 2 * slot_, 0, pending_);
    pending_ = 0;
  }
  uint32_t bit() const { return bit_; }

 private:
  std::vector<uint32_t>& words_;
  size_t base_;
  uint32_t used_;
  size_t slot_ = 0;
  uint32_t bit_ = 0;
  uint64_t pending_ = 0;
};

}  // namespace morla
