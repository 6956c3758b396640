#pragma once
// The process-wide list of host drivers, built once on first use.
#include <memory>
#include <vector>

#include "drivers/hardware_driver.h"

namespace morla {

using DriverList = std::vector<std::unique_ptr<HardwareDriver>>;

// Built on the first call (thread-safe); later calls return the same list. An
// exception other than DriverNotAvailable leaves it unbuilt for the next call.
DriverList& get_drivers();
// Dump set-up, then every driver kind in the order USB, J-Link, FPGA; a kind whose
// constructor throws DriverNotAvailable is left out.
void build_driver_list(DriverList& drivers);

}  // namespace morla
