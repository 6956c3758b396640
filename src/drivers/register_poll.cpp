#include "drivers/register_poll.h"

#include <string>

#include "drivers/transport_error.h"

namespace morla {

bool poll_until(HardwareDriver& bus, uint32_t address, uint32_t mask,
                PollClock::time_point deadline, const char* what, BitsWanted wanted,
                const std::function<void()>& each_pass) {
  try {
    while (true) {
      if (each_pass) each_pass();
      const bool any_set = (read_register(bus, address) & mask) != 0;
      if (any_set == (wanted == BitsWanted::AnySet)) return true;
      if (PollClock::now() >= deadline) return false;
    }
  } catch (TransportError& error) {
    error.add_context(std::string("while waiting for ") + what);
    throw;
  }
}

}  // namespace morla
