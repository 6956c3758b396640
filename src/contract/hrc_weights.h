#pragma once
// The HRC's weight memories: three word buffers of three-word lines, nine 8-bit weights a
// line, spread over the buffers by kernel size and input channel count.
#include <cstdint>
#include <vector>

namespace morla {

class Dense;

// `weights` is an 8-bit tensor of logical shape (k, k, C, F). Throws std::runtime_error
// for a channel count other than 1 or 3, "Wrong kernel_size at HRC recording." for a
// single-channel kernel outside {3, 4, 5, 7, 16}, and "Too many lines on HRC weight
// formatting with the 3-kernel." beyond 575 lines of a 3x3 kernel. Always three buffers.
std::vector<std::vector<uint32_t>> format_hrc_weights(const Dense& weights);

}  // namespace morla
