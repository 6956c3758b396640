#include "drivers/driver_registry.h"

#include "drivers/driver_errors.h"
#include "drivers/fpga_driver.h"
#include "drivers/hw_dump.h"
#include "drivers/jlink_driver.h"
#include "drivers/usb_driver.h"

namespace morla {
namespace {

template <typename Driver>
void try_driver(DriverList& drivers) {
  try {
    drivers.push_back(std::make_unique<Driver>());
  } catch (const DriverNotAvailable&) {
  }
}

DriverList make_driver_list() {
  DriverList drivers;
  build_driver_list(drivers);
  return drivers;
}

}  // namespace

void build_driver_list(DriverList& drivers) {
  hw_dump_init();
  try_driver<UsbDriver>(drivers);
  try_driver<JlinkDriver>(drivers);
  try_driver<FPGADriver>(drivers);
}

DriverList& get_drivers() {
  static DriverList drivers = make_driver_list();
  return drivers;
}

}  // namespace morla
