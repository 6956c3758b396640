#pragma once
// The SoC clock block: the core runs from a 600 MHz source through dividers.
#include <chrono>
#include <cstdint>

#include "drivers/clock_mode.h"
#include "drivers/hardware_driver.h"

namespace morla::soc {

namespace clock {
inline constexpr uint32_t kSourceHz = 600000000;
// Bit 0: writing 1 starts a change; reads 1 while the change is in progress.
inline constexpr uint32_t kChangeControl = 0xF0001030;
// Core divider minus one; the current frequency is read back from its low byte.
inline constexpr uint32_t kCoreDivider = 0xF0001190;
inline constexpr uint32_t kDoubleDivider = 0xF00011A0;  // 2·d - 1
inline constexpr uint32_t kBusDivider = 0xF00011B0;     // d - 1
}  // namespace clock

// The current mode; std::runtime_error "Unexpected frequency value detected: <f>." when
// the divider gives no known frequency.
ClockMode read_clock_frequency(HardwareDriver& driver);
// Programs the dividers of `mode` and waits for the change to complete, for at most
// `deadline`. std::invalid_argument for an unknown mode; std::runtime_error when a
// change is already in progress (nothing written) or when it does not complete in time.
void apply_clock_mode(HardwareDriver& driver, ClockMode mode, std::chrono::nanoseconds deadline);

}  // namespace morla::soc
