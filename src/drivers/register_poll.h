#pragma once
// Waiting on register bits with a deadline: the one polling loop of the drivers.
#include <chrono>
#include <cstdint>
#include <functional>

#include "drivers/hardware_driver.h"

namespace morla {

using PollClock = std::chrono::steady_clock;

// What a poll waits for in the register's `mask` bits.
enum class BitsWanted { AnySet, AllClear };

// Reads `address` until its `mask` bits are as wanted: true as soon as they are,
// false when `deadline` has passed with them otherwise. The register is read at
// least once; `each_pass`, when given, runs before every read (to feed or empty a
// queue). `what` names the awaited condition; a transfer error during the poll
// carries it ("while waiting for <what>").
bool poll_until(HardwareDriver& bus, uint32_t address, uint32_t mask,
                PollClock::time_point deadline, const char* what,
                BitsWanted wanted = BitsWanted::AnySet,
                const std::function<void()>& each_pass = {});

// The deadline `milliseconds` from now.
inline PollClock::time_point deadline_after(int64_t milliseconds) {
  return PollClock::now() + std::chrono::milliseconds(milliseconds);
}

}  // namespace morla
