#include "engine_api/program_copy.h"

#include <exception>

#include "engine_api/hardware_device.h"

namespace morla {

void ProgramCopy::replace(HardwareDevice& device, const uint8_t* data, size_t size) {
  device.unprogram();
  bytes_.assign(data, data + size);
}

void ProgramCopy::program(HardwareDevice& device, const uint8_t* data, size_t size) {
  replace(device, data, size);
  external_ = false;
  device.set_program(bytes_.data(), bytes_.size());
}

void ProgramCopy::program_external(HardwareDevice& device, const uint8_t* data, size_t size,
                                   uint32_t address) {
  replace(device, data, size);
  external_ = true;
  device.program_external(bytes_.data(), bytes_.size(), address);
}

void ProgramCopy::unprogram(HardwareDevice& device) {
  device.unprogram();
  bytes_.clear();
  external_ = false;
}

void ProgramCopy::release(HardwareDevice* device) noexcept {
  if (!device || bytes_.empty()) return;
  try {
    // An external program's info is not reported back, so it is always ours to drop.
    if (external_ || device->program().data == bytes_.data()) device->unprogram();
  } catch (const std::exception&) {
    // The device is unreachable; it will not read the bytes either.
  }
}

}  // namespace morla
