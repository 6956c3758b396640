// The element-wise loops compiled for the baseline instruction set.
#include "ops/channel_loops_body.h"

namespace morla::ops::loops {
#define MORLA_ISA Portable
MORLA_INSTANTIATE_CHANNEL_LOOPS()
#undef MORLA_ISA
}  // namespace morla::ops::loops
