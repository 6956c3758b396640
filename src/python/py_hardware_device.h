#pragma once
// The native type behind Python HardwareDevice: one found device with the bytes of
// its last program, its metrics and the power events of its last inference.
#include <memory>
#include <vector>

#include "core/device.h"
#include "engine_api/program_copy.h"
#include "drivers/power_meter.h"
#include "model/metrics.h"

namespace morla::python {

class PyHardwareDevice final : public Device {
 public:
  explicit PyHardwareDevice(std::shared_ptr<Device> device) : device_(std::move(device)) {}
  // Unprograms the device when it still runs from this object's program bytes.
  ~PyHardwareDevice() override { program_.release(hardware()); }

  HwVersion version() const override { return device_->version(); }
  const char* desc() const override { return device_->desc(); }
  const Mesh& mesh() const override { return device_->mesh(); }
  HardwareDevice* hardware() const override { return device_->hardware(); }

  // The engine device; std::runtime_error for a device without one.
  HardwareDevice& engine() const;
  ProgramCopy& program_copy() { return program_; }
  Metrics& metrics() { return metrics_; }
  std::vector<PowerMeter::PowerEvent>& power_events() { return power_events_; }

 private:
  std::shared_ptr<Device> device_;
  ProgramCopy program_;
  Metrics metrics_;
  std::vector<PowerMeter::PowerEvent> power_events_;
};

using PyHardwareDeviceList = std::vector<std::shared_ptr<PyHardwareDevice>>;

// One PyHardwareDevice per found device, built on the first call and kept until exit.
PyHardwareDeviceList list_hardware_devices();

}  // namespace morla::python
