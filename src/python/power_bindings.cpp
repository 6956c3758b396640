// PowerEvent and PowerMeter.
#include <pybind11/stl.h>

#include <memory>

#include "drivers/power_meter.h"
#include "python/registration.h"

namespace morla::python {

void init_power_bindings(py::module_& m) {
  using PowerEvent = PowerMeter::PowerEvent;
  py::class_<PowerEvent>(m, "PowerEvent",
                         "\n    A timestamped power measurement.\n\n"
                         "    Each PowerEvent contains:\n"
                         "    - a voltage value in µV (microvolt),\n"
                         "    - a current value in mA (milliampere),\n"
                         "    - the corresponding power value in mW (milliwatt).\n          ")
      .def_property_readonly(
          "ts", [](const PowerEvent& event) { return event.ts; }, "Timestamp of the event")
      .def_property_readonly(
          "voltage", [](const PowerEvent& event) { return event.voltage; }, "Voltage value in µV")
      .def_property_readonly(
          "current", [](const PowerEvent& event) { return event.current; }, "Current value in mA")
      .def_property_readonly("power", &event_power_mw, "Power value in mW");

  py::class_<PowerMeter, std::shared_ptr<PowerMeter>>(
      m, "PowerMeter",
      "\n    Gives access to power measurements.\n\n"
      "    When power measurements are enabled for a specific device, this object\n"
      "    stores them as a list of ``PowerEvent`` objects.\n"
      "    The events list cannot exceed a predefined size: when it is full, older\n"
      "    events are replaced by newer events.\n          ")
      .def("events", &PowerMeter::events, "Retrieve all pending events")
      .def_property_readonly(
          "floor",
          [](const PowerMeter& meter) -> py::object {
            if (!meter.has_events()) return py::none();
            return py::float_(meter.floor());
          },
          "Get the floor power");
}

}  // namespace morla::python
