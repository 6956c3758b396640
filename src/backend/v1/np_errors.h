#pragma once
// The errors of the v1 NP recorders: their text names the kind of NP first.
#include <stdexcept>
#include <string>

namespace morla::v1 {

class CnpError : public std::runtime_error {
 public:
  explicit CnpError(const std::string& message)
      : std::runtime_error("Backend hardware(CNP): " + message) {}
  CnpError(const CnpError&) = default;
};

class FnpError : public std::runtime_error {
 public:
  explicit FnpError(const std::string& message)
      : std::runtime_error("Backend hardware(FullyConnected): " + message) {}
  FnpError(const FnpError&) = default;
};

// "act_step should be between 0 and 65535. Receives act_step <step / 16>.", or an empty text
// when the step (in 1/16 units) fits its 20-bit field.
std::string act_step_error(int32_t step);

}  // namespace morla::v1
