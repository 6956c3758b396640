// The element-wise loops compiled for the baseline instruction set.
#include "ops/channel_loops_body.h"

namespace morla::ops::loops {
MORLA_INSTANTIATE_CHANNEL_LOOPS(Portable)
}  // namespace morla::ops::loops
