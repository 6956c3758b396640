#pragma once
// Enumeration of the devices attached to this host, once per process.
#include <functional>
#include <memory>
#include <vector>

#include "core/device.h"
#include "drivers/driver_registry.h"

namespace morla {

using DeviceList = std::vector<std::shared_ptr<Device>>;
// The start-up test inference of a device: true when the inference failed.
using DeviceProbe = std::function<bool(const std::shared_ptr<Device>&)>;

// Built on the first call from the driver registry; later calls return the same list.
const DeviceList& get_devices();

// One HostDevice per driver. A driver whose device fails with std::runtime_error is
// reported on standard output and contributes nothing. Devices of the hardware
// version that needs it are probed; a failed probe gets a freshly created device.
DeviceList build_device_list(const DriverList& drivers, const DeviceProbe& probe);

}  // namespace morla
