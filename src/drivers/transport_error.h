#pragma once
// The error of a board transfer that did not go through, with its cause.
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>

namespace morla {

// What made one exchange with the board fail, captured where it failed.
struct LinkFailure {
  int status = 0;        // the exchange's result code (bin::Status)
  int error_number = 0;  // errno at the failure: the port's own, else what it amounts to
  uint32_t address = 0;  // the piece that failed
};

// A read or write of the board that failed. The text keeps the driver's fixed
// form, "Error reading at 0x<address> len: <length> errno(<n>): <strerror>", and
// goes on with the cause, the failing piece and the port, e.g.
// "...: Connection timed out; status -3 (no reply) at 0x24000400 on /dev/ttyACM0".
class TransportError : public std::runtime_error {
 public:
  // `operation` is the fixed start of the text ("Error reading at 0x").
  TransportError(const char* operation, uint32_t address, size_t length, const LinkFailure& cause,
                 const std::string& port);

  const char* what() const noexcept override { return text_.c_str(); }
  const LinkFailure& cause() const { return cause_; }
  const std::string& port() const { return port_; }
  uint32_t address() const { return address_; }
  size_t length() const { return length_; }

  // The error of a driver whose message has a fixed form of its own: `text` is the
  // whole message, that form followed by the cause.
  static TransportError with_text(std::string text, uint32_t address, size_t length,
                                  const LinkFailure& cause, const std::string& port);

  // Adds what the caller was waiting for when the transfer failed.
  void add_context(const std::string& context);

 private:
  TransportError(std::string text, uint32_t address, size_t length, const LinkFailure& cause,
                 const std::string& port, int);

  std::string text_;
  LinkFailure cause_;
  std::string port_;
  uint32_t address_;
  size_t length_;
};

}  // namespace morla
