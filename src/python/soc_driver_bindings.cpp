// SocDriver.
#include <memory>

#include "drivers/soc_driver.h"
#include "python/registration.h"

namespace morla::python {

void init_soc_driver_bindings(py::module_& m) {
  // Owned by its device's driver: Python only ever holds references.
  py::class_<SocDriver, std::unique_ptr<SocDriver, py::nodelete>>(m, "SocDriver")
      .def_property(
          "clock_mode", [](SocDriver& self) { return self.clock_mode(); },
          [](SocDriver& self, const soc::ClockMode& mode) { self.set_clock_mode(mode); },
          "Clock mode of the Orbi.")
      .def_property(
          "power_measurement_enabled",
          [](SocDriver& self) { return static_cast<bool>(self.power_meter()); },
          [](SocDriver& self, bool enabled) { self.set_power_measurement_enabled(enabled); },
          "Power measurement is off by default. Toggle it on to get power information in the "
          "statistics or when calling PowerMeter.events().")
      .def_property_readonly(
          "power_meter", [](SocDriver& self) { return self.power_meter(); },
          "Power meter associated to the SoC.");
}

}  // namespace morla::python
