#pragma once
// The SPI flash of MRL7700 boards, reached through an optional driver interface.
#include <cstdint>
#include <memory>

// Access to a board's SPI flash.
class SpiFlashController {
 public:
  // Not available yet: std::runtime_error "get_id function is not yet implemented".
  uint16_t get_id();
};

namespace morla {

class Device;

// Implemented by drivers whose board carries an SPI flash.
class FlashAccessDriver {
 public:
  virtual ~FlashAccessDriver() = default;
  virtual std::shared_ptr<SpiFlashController> flash() = 0;
};

// The flash controller of a device whose driver offers flash access (may be empty);
// std::invalid_argument "The device does not contain an MRL7700 flash" for any other
// device, one without hardware included.
std::shared_ptr<SpiFlashController> get_board_flash(const Device& device);

}  // namespace morla
