#include "engine/window_record.h"

namespace morla::engine {

namespace {

uint32_t byte(uint32_t word, unsigned index) { return (word >> (8 * index)) & 0xFF; }

}  // namespace

RecordRow WindowRecord::conv_row() const {
  return {(conv.kernel_x & 0xFF) | (conv.kernel_y & 0xFF) << 8 | (conv.stride_x & 0xFF) << 16 |
              (conv.stride_y & 0xFF) << 24,
          (conv.input_x & 0xFFFF) | (conv.input_y & 0xFFFF) << 16,
          conv.out_x,
          conv.out_y,
          conv.padding.top,
          conv.padding.bottom,
          conv.padding.left,
          conv.padding.right};
}

RecordRow WindowRecord::pool_row() const {
  return {(pool.stride_x & 0xFF) | (pool.stride_y & 0xFF) << 8,
          pool.out_x,
          pool.out_y,
          pool.padding.top,
          pool.padding.bottom,
          pool.padding.left,
          pool.padding.right,
          pool.global ? 1u : 0u};
}

WindowRecord WindowRecord::decode(const uint32_t* c, const uint32_t* p) {
  WindowRecord r;
  r.conv = {byte(c[0], 0), byte(c[0], 1), byte(c[0], 2), byte(c[0], 3),           c[1] & 0xFFFF,
            c[1] >> 16,    c[2],          c[3],          {c[4], c[5], c[6], c[7]}};
  r.pool = {byte(p[0], 0), byte(p[0], 1), p[1], p[2], {p[3], p[4], p[5], p[6]}, p[7] == 1};
  return r;
}

}  // namespace morla::engine
