// The process-wide device list (kept apart from build_device_list, which does not
// need the engine's model factories of the probe).
#include "devices/device_list.h"
#include "devices/device_probe.h"

namespace morla {

const DeviceList& get_devices() {
  static const DeviceList devices = build_device_list(get_drivers(), probe_device);
  return devices;
}

}  // namespace morla
