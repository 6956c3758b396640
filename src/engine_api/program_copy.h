#pragma once
// The bytes of the last program handed to a hardware device by one holder. The
// engine keeps a pointer into them, so they must outlive the device's use of them.
#include <cstddef>
#include <cstdint>
#include <vector>

namespace morla {

class HardwareDevice;

class ProgramCopy {
 public:
  // Unprograms the device, replaces the copy with `data`, then programs the device
  // from the copy. When programming throws, the copy already holds the new bytes.
  void program(HardwareDevice& device, const uint8_t* data, size_t size);
  // The same with a program info whose data is already on the device at `address`.
  void program_external(HardwareDevice& device, const uint8_t* data, size_t size, uint32_t address);
  void unprogram(HardwareDevice& device);
  // Called when the holder goes: unprograms the device while it may still use the
  // copy, so that it never reads freed bytes. Never throws.
  void release(HardwareDevice* device) noexcept;

  const std::vector<uint8_t>& bytes() const { return bytes_; }

 private:
  void replace(HardwareDevice& device, const uint8_t* data, size_t size);

  std::vector<uint8_t> bytes_;
  bool external_ = false;
};

}  // namespace morla
