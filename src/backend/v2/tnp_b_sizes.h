#pragma once
// TNP-B memories: weights in 12-byte containers (24 filters of one weight row in two, or the
// taps of one channel in one), input frames in 64-word units, kept fifo_size + 1 times.
#include <cstdint>

#include "engine_api/layer.h"
#include "contract/component.h"

namespace morla::v2 {

// Containers of one weight row of `filters` filters.
uint32_t tnp_b_ch_cont_size(uint32_t filters);
uint32_t tnp_b_weight_size(uint32_t fifo_size, uint32_t filters, uint32_t rows_per_frame);
uint32_t depthwise_tnp_b_weight_size(uint32_t fifo_size, uint32_t channels);
// Words of the weight images, rounded to 16 when they take a long program block. The
// recorder counts them inline: these two are for whoever sizes an image alone.
uint32_t tnp_b_weight_words(uint32_t filters, uint32_t rows);
uint32_t depthwise_tnp_b_weight_words(uint32_t fifo_size, uint32_t channels);

// 32-bit words of one input frame of rows x cols x channels (channels padded to 4), in whole
// 64-word units.
uint32_t tnp_b_frame_words(uint32_t rows, uint32_t cols, uint32_t channels, uint32_t bits);
// Bytes of a TNP-B component's input memory: every frame of its FIFO and the current one.
uint32_t tnp_b_input_bytes(const Layer& layer, const hw::Component& component);

}  // namespace morla::v2
