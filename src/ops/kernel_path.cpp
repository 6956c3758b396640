#include "ops/kernel_path.h"

#include <algorithm>

namespace morla::ops::kernels {

namespace {

KernelPath best_supported() {
  for (KernelPath path : {KernelPath::avx512_vnni, KernelPath::avx512, KernelPath::avx2})
    if (cpu_supports(path)) return path;
  return KernelPath::portable;
}

KernelPath& limit() {
  static KernelPath value = KernelPath::avx512_vnni;
  return value;
}

}  // namespace

const char* path_name(KernelPath path) {
  switch (path) {
    case KernelPath::portable: return "portable";
    case KernelPath::avx2: return "avx2";
    case KernelPath::avx512: return "avx512";
    case KernelPath::avx512_vnni: return "avx512_vnni";
  }
  return "unknown";
}

bool cpu_supports(KernelPath path) {
#if defined(__x86_64__) && defined(__GNUC__)
  switch (path) {
    case KernelPath::portable: return true;
    case KernelPath::avx2: return __builtin_cpu_supports("avx2");
    case KernelPath::avx512:
      return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw");
    case KernelPath::avx512_vnni:
      return cpu_supports(KernelPath::avx512) && __builtin_cpu_supports("avx512vnni");
  }
  return false;
#else
  return path == KernelPath::portable;
#endif
}

KernelPath active_path() {
  static const KernelPath best = best_supported();
  return std::min(best, limit());
}

void limit_path(KernelPath path) { limit() = path; }

}  // namespace morla::ops::kernels
