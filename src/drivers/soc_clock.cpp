#include "drivers/soc_clock.h"

#include <chrono>
#include <stdexcept>
#include <string>

#include "core/register_field.h"
#include "drivers/register_bits.h"
#include "drivers/register_poll.h"

namespace morla::soc {
namespace {

constexpr RegisterField kChangeBit{0, 1};
constexpr RegisterField kDividerByte{0, 8};

bool is_clock_mode(uint32_t hz) {
  return hz == static_cast<uint32_t>(ClockMode::Performance) ||
         hz == static_cast<uint32_t>(ClockMode::Economy) ||
         hz == static_cast<uint32_t>(ClockMode::LowPower);
}

void write_field(HardwareDriver& driver, uint32_t address, const RegisterField& field,
                 uint32_t value) {
  uint32_t word = 0;
  set_register_field(&word, &field, value);
  write_register(driver, address, word);
}

bool change_in_progress(HardwareDriver& driver) {
  return test_register_bits(driver, clock::kChangeControl, 1u);
}

}  // namespace

ClockMode read_clock_frequency(HardwareDriver& driver) {
  const uint32_t divider = read_register(driver, clock::kCoreDivider) & 0xFFu;
  const uint32_t hz = clock::kSourceHz / (divider + 1);
  if (!is_clock_mode(hz))
    throw std::runtime_error("Unexpected frequency value detected: " + std::to_string(hz) + ".");
  return static_cast<ClockMode>(hz);
}

void apply_clock_mode(HardwareDriver& driver, ClockMode mode, std::chrono::nanoseconds deadline) {
  const auto hz = static_cast<uint32_t>(mode);
  if (!is_clock_mode(hz)) throw std::invalid_argument("Invalid clock mode");
  if (change_in_progress(driver)) throw std::runtime_error("Clock mode is already changing.");
  const uint32_t d = clock::kSourceHz / hz;
  write_field(driver, clock::kDoubleDivider, kDividerByte, 2 * d - 1);
  write_field(driver, clock::kCoreDivider, kDividerByte, d - 1);
  write_field(driver, clock::kBusDivider, kDividerByte, d - 1);
  write_field(driver, clock::kChangeControl, kChangeBit, 1);

  if (!poll_until(driver, clock::kChangeControl, 1u, PollClock::now() + deadline,
                  "the clock change to complete", BitsWanted::AllClear))
    throw std::runtime_error("Failed to apply clock mode.");
}

}  // namespace morla::soc
