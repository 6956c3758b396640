#pragma once
// Platform hooks exported with C linkage for native code loaded beside the module.
#include <cstdint>

extern "C" {
// Formats a printf-style message (at most 256 characters) and throws it as std::runtime_error.
[[noreturn]] void panic(const char* format, ...) __attribute__((format(printf, 1, 2)));
// Milliseconds of the monotonic clock.
int64_t time_ms();
// Blocks the calling thread for at least `ms` milliseconds.
void msleep(uint32_t ms);
// Watchdog hook; this platform has no watchdog.
void kick_watchdog();
}
