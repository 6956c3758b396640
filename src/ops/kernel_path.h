#pragma once
// Which instruction set the operations' inner loops use. The best one the CPU has is picked
// on first use; a lower limit can be set (the tests run every path the machine has against
// the portable one this way).
#include <cstdint>

namespace morla::ops::kernels {

enum class KernelPath : uint8_t {
  portable,     // plain C++, whatever the compiler makes of it for the baseline ISA
  avx2,         // 256-bit vectors
  avx512,       // 512-bit vectors (F and BW)
  avx512_vnni,  // 512-bit vectors with the 8- and 16-bit dot-product instructions
};

const char* path_name(KernelPath path);
bool cpu_supports(KernelPath path);
// The path the operations use now: the best the CPU has, at most the limit.
KernelPath active_path();
// At most `path` from now on (KernelPath::avx512_vnni lifts the limit). Not for concurrent
// use: the module runs its operations on the caller's thread, one at a time.
void limit_path(KernelPath path);

}  // namespace morla::ops::kernels
