#pragma once
// The input convolution computes one output per window of its padded input. Same and Valid
// padding always place out_x by out_y windows there; SameUpper does not with stride 1 on an
// even size, with an even kernel, or with a stride such as 3 on sizes of 10 or 16.
#include <cstdint>
#include <optional>
#include <string>

#include "core/enums.h"
#include "core/shape.h"
#include "ops/padding.h"

namespace morla::engine {

// How the windows of `g` over the padded `input` miss its outputs ("with padding SameUpper,
// kernel 3 x 3 and stride 1 x 1, the padded 8 x 8 input holds 7 x 7 windows for 8 x 8
// outputs"); nothing when they number the outputs.
std::optional<std::string> patch_window_misfit(Padding mode, uint32_t kernel_x, uint32_t kernel_y,
                                               const Shape& input, const ops::PaddingInfo& g);

}  // namespace morla::engine
