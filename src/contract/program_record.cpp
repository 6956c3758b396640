#include "contract/program_record.h"

#include <algorithm>
#include <stdexcept>

#include "core/register_field.h"

namespace morla::program {
namespace {

constexpr RegisterField kCol{24, 8};
constexpr RegisterField kRow{16, 8};
constexpr RegisterField kSelectMask{8, 4};
constexpr RegisterField kBroadcast{6, 2};
constexpr RegisterField kTypeCode{0, 4};
constexpr RegisterField kLongFlag{31, 1};
constexpr RegisterField kLength{16, 14};
constexpr RegisterField kField{0, 16};

// Block type (1..15) -> the 4-bit code of the header.
constexpr uint32_t kTypeCodes[15] = {1, 2, 2, 4, 4, 6, 8, 8, 0, 3, 8, 5, 0, 1, 2};

// TNP-R blocks address no NP of the mesh.
bool is_tnp_r_block(uint32_t type) { return type >= 13 && type <= 15; }

uint64_t round_up16(uint64_t n) { return (n + 15) & ~uint64_t{15}; }

}  // namespace

uint32_t ident_key(const hw::Ident& ident) {
  return uint32_t{ident.col} | uint32_t{ident.row} << 8 | uint32_t{ident.id} << 16 |
         uint32_t{ident.channel} << 24;
}

hw::Ident key_ident(uint32_t key) {
  return hw::Ident{static_cast<uint8_t>(key), static_cast<uint8_t>(key >> 8),
                   static_cast<uint8_t>(key >> 16), static_cast<uint8_t>(key >> 24)};
}

bool is_long_np_block(uint32_t n) { return n >= kLongBlockWords; }

void write_np_block_header(uint32_t out[2], const hw::Ident& ident, uint32_t type, uint32_t length,
                           uint16_t field, bool long_form) {
  out[0] = 0;
  out[1] = 0;
  const bool all_zero = ident_key(ident) == 0;
  set_register_field(&out[0], &kCol, ident.col);
  set_register_field(&out[0], &kRow, ident.row);
  // An id of 4 or more does not fit the mask: the field writer refuses it.
  if (!is_tnp_r_block(type) && !all_zero) set_one_hot_field(&out[0], kSelectMask, ident.id);
  set_register_field(&out[0], &kBroadcast, (all_zero && !is_tnp_r_block(type)) ? 2 : 0);
  set_register_field(&out[0], &kTypeCode, (type >= 1 && type <= 15) ? kTypeCodes[type - 1] : 0);
  set_register_field(&out[1], &kLongFlag, long_form ? 1 : 0);
  set_register_field(&out[1], &kLength, long_form ? length >> 4 : length);
  set_register_field(&out[1], &kField, field);
}

uint64_t make_np_block_header(const hw::Ident& ident, uint32_t type, uint32_t length,
                              uint16_t field) {
  uint32_t words[2];
  write_np_block_header(words, ident, type, length, field, false);
  return uint64_t{words[0]} | uint64_t{words[1]} << 32;
}

bool append_block_to_buffer(WordBuffer& buffer, const hw::Ident& ident, uint32_t type,
                            uint16_t field, const std::vector<uint32_t>& words, bool long_allowed,
                            bool with_length) {
  // Sizes in 64 bits: a huge block must be refused, not wrapped into a small one.
  const uint64_t used = buffer.size();
  const uint64_t n = words.size();
  const bool long_form = n >= kLongBlockWords;
  uint64_t padded = n;
  if (long_form) {
    if (!long_allowed) return false;
    padded = round_up16(n);
    if (padded + used + 2 > kMaxBufferWords) return false;
  } else if (n + used + 2 > kMaxBufferWords) {
    return false;
  }
  uint32_t header[2];
  // Check every header field before the buffer grows, so a refusal leaves it unchanged.
  write_np_block_header(header, ident, type, with_length ? static_cast<uint32_t>(padded) : 0, field,
                        long_form);
  // Grown geometrically: a record appends many blocks to one buffer, and growing it to the
  // exact size each time would copy the whole buffer at every block.
  const size_t needed = buffer.size() + 2 + padded;
  if (needed > buffer.capacity()) buffer.reserve(std::max(needed, 2 * buffer.capacity()));
  buffer.push_back(header[0]);
  buffer.push_back(header[1]);
  buffer.insert(buffer.end(), words.begin(), words.end());
  buffer.resize(buffer.size() + (padded - n), 0);
  return true;
}

bool Record::append_np_program(const hw::Ident& ident, uint32_t type, uint16_t field,
                               const std::vector<uint32_t>& words, bool with_length,
                               bool same_buffer) {
  if (!same_buffer || buffers_.empty()) buffers_.emplace_back();
  if (append_block_to_buffer(buffers_.back(), ident, type, field, words, false, with_length))
    return true;
  buffers_.emplace_back();
  if (append_block_to_buffer(buffers_.back(), ident, type, field, words, true, with_length))
    return true;
  throw std::runtime_error("Error generating NP program.");
}

void Record::set_external_block(uint32_t key, const std::vector<uint32_t>& words) {
  external_ = std::make_unique<ExternalBlock>(ExternalBlock{key, words});
}

}  // namespace morla::program
