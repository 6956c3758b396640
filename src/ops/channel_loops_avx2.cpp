// The element-wise loops compiled for AVX2.
#include "ops/channel_loops_isa.h"

#if defined(__x86_64__) && defined(__GNUC__)
#define MORLA_TARGET "avx2"
#include "ops/target_begin.h"
#include "ops/channel_loops_body.h"

namespace morla::ops::loops {
#define MORLA_ISA Avx2
MORLA_INSTANTIATE_CHANNEL_LOOPS()
#undef MORLA_ISA
}  // namespace morla::ops::loops

#include "ops/target_end.h"
#endif
