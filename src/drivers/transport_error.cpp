#include "drivers/transport_error.h"

#include <cstring>
#include <sstream>
#include <utility>

#include "drivers/bin_protocol.h"
#include "drivers/status_text.h"

namespace morla {
namespace {

std::string error_text(const char* operation, uint32_t address, size_t length,
                       const LinkFailure& cause, const std::string& port) {
  std::ostringstream text;
  text << operation << std::hex << address << std::dec << " len: " << length << " errno("
       << cause.error_number << "): " << std::strerror(cause.error_number) << "; status "
       << status_text(cause.status, bin::status_name) << " at 0x" << std::hex << cause.address
       << std::dec << " on " << port;
  return text.str();
}

}  // namespace

TransportError::TransportError(const char* operation, uint32_t address, size_t length,
                               const LinkFailure& cause, const std::string& port)
    : std::runtime_error(operation),
      text_(error_text(operation, address, length, cause, port)),
      cause_(cause),
      port_(port),
      address_(address),
      length_(length) {}

TransportError::TransportError(std::string text, uint32_t address, size_t length,
                               const LinkFailure& cause, const std::string& port, int)
    : std::runtime_error(text),
      text_(std::move(text)),
      cause_(cause),
      port_(port),
      address_(address),
      length_(length) {}

TransportError TransportError::with_text(std::string text, uint32_t address, size_t length,
                                         const LinkFailure& cause, const std::string& port) {
  return TransportError(std::move(text), address, length, cause, port, 0);
}

void TransportError::add_context(const std::string& context) { text_ += " " + context; }

}  // namespace morla
