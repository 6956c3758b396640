#pragma once
// Drivers report their diagnostics on standard output, flushed at once so that
// they interleave correctly with the caller's own output.

namespace morla {

void driver_print(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace morla
