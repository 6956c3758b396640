#pragma once
// The convolution and pooling records of a windowed layer: one struct, encoded into the two
// rows of words the layer hands out (conv_params, pool_params) and decoded from them here.
#include <array>
#include <cstdint>

namespace morla::engine {

// Row layouts:
//   convolution: [0] kernel x | kernel y << 8 | stride x << 16 | stride y << 24,
//                [1] input width | input height << 16, [2] [3] unpooled output width and
//                height, [4..7] paddings top, bottom, left, right;
//   pooling:     [0] byte 0 pool stride x, byte 1 pool stride y, [1] [2] pooled output
//                width and height, [3..6] paddings top, bottom, left, right, [7] 1 for
//                global pooling. Without pooling: strides 1, the unpooled size, no padding.
using RecordRow = std::array<uint32_t, 8>;

struct WindowRecord {
  struct Padding {
    uint32_t top = 0, bottom = 0, left = 0, right = 0;
  };
  struct Convolution {
    uint32_t kernel_x = 1, kernel_y = 1, stride_x = 1, stride_y = 1;
    uint32_t input_x = 0, input_y = 0, out_x = 0, out_y = 0;
    Padding padding;
  };
  struct Pooling {
    uint32_t stride_x = 1, stride_y = 1, out_x = 0, out_y = 0;
    Padding padding;
    bool global = false;
  };
  Convolution conv;
  Pooling pool;

  RecordRow conv_row() const;
  RecordRow pool_row() const;
  static WindowRecord decode(const uint32_t* conv_row, const uint32_t* pool_row);
};

}  // namespace morla::engine
