// Submodule soc and its clock modes.
#include "drivers/clock_mode.h"
#include "python/registration.h"

namespace morla::python {

void init_soc_module(py::module_& m) {
  auto soc = m.def_submodule("soc", kSocDoc);
  py::enum_<soc::ClockMode>(soc, "ClockMode", "Clock mode configuration")
      .value("Performance", soc::ClockMode::Performance)
      .value("Economy", soc::ClockMode::Economy)
      .value("LowPower", soc::ClockMode::LowPower)
      .export_values();
}

}  // namespace morla::python
