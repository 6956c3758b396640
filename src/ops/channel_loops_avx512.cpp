// The element-wise loops compiled for AVX512.
#include "ops/channel_loops_isa.h"

#if defined(__x86_64__) && defined(__GNUC__)
#define MORLA_TARGET "avx512f,avx512bw,avx512dq,avx512vl"
#include "ops/target_begin.h"
#include "ops/channel_loops_body.h"

namespace morla::ops::loops {
#define MORLA_ISA Avx512
MORLA_INSTANTIATE_CHANNEL_LOOPS()
#undef MORLA_ISA
}  // namespace morla::ops::loops

#include "ops/target_end.h"
#endif
