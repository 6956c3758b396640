#include "scripted_port.h"

#include <algorithm>

namespace morla::sim {

uint32_t ScriptedPort::read(void* buffer, size_t length) {
  const size_t n = std::min(length, incoming.size());
  std::copy_n(incoming.begin(), n, static_cast<uint8_t*>(buffer));
  incoming.erase(incoming.begin(), incoming.begin() + static_cast<ptrdiff_t>(n));
  return static_cast<uint32_t>(n);
}

uint32_t ScriptedPort::write(const void* buffer, size_t length) {
  const size_t n = std::min(length, write_budget);
  write_budget -= n;
  const auto* bytes = static_cast<const uint8_t*>(buffer);
  written.insert(written.end(), bytes, bytes + n);
  queue(answer);
  answer.clear();
  return static_cast<uint32_t>(n);
}

}  // namespace morla::sim
