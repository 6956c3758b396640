#include "core/platform.h"

#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <exception>
#include <stdexcept>
#include <thread>

extern "C" {

void panic(const char* format, ...) {
  char buffer[257];
  va_list args;
  va_start(args, format);
  const int n = std::vsnprintf(buffer, sizeof buffer, format, args);
  va_end(args);
  if (n < 1) std::terminate();
  throw std::runtime_error(buffer);
}

int64_t time_ms() {
  const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(
      std::chrono::steady_clock::now().time_since_epoch());
  return static_cast<int64_t>(ns.count() / 1000000);
}

void msleep(uint32_t ms) {
  if (ms == 0) return;
  std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

void kick_watchdog() {}

}  // extern "C"
