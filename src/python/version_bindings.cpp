// HwVersion, the device version constants and IpVersion.
#include <memory>

#include "core/device_versions.h"
#include "core/hw_version.h"
#include "python/registration.h"

namespace morla::python {

void init_hw_version_bindings(py::module_& m) {
  py::class_<HwVersion, std::shared_ptr<HwVersion>>(m, "HwVersion")
      .def(py::init([](uint8_t vendor, uint8_t product, uint8_t major, uint8_t minor) {
        return std::make_shared<HwVersion>(HwVersion{vendor, product, major, minor});
      }))
      .def_property_readonly(
          "vendor_id", [](const HwVersion& v) { return v.vendor_id; },
          "The hardware vendor identifier")
      .def_property_readonly(
          "product_id", [](const HwVersion& v) { return v.product_id; },
          "The hardware product identifier")
      .def_property_readonly(
          "major_rev", [](const HwVersion& v) { return v.major_rev; },
          "The hardware major revision")
      .def_property_readonly(
          "minor_rev", [](const HwVersion& v) { return v.minor_rev; },
          "The hardware minor revision")
      .def_property_readonly("ip_version", &HwVersion::get_ip_version, "The IP version.")
      .def("__str__", &hw_version_to_string)
      .def("__repr__", &hw_version_to_string)
      .def(
          "__eq__", [](const HwVersion& a, const HwVersion& b) { return a == b; },
          py::is_operator());
}

void init_device_version_constants(py::module_& m) {
  // Bound by reference: HwVersion cannot be changed from Python.
  const auto bind = [&m](const char* name, const HwVersion& version) {
    m.attr(name) = py::cast(&version, py::return_value_policy::reference);
  };
  bind("Orbi_v1", devices::Orbi_v1);
  bind("Orbi_v2", devices::Orbi_v2);
  bind("TwoNodesIP_v1", devices::TwoNodesIP_v1);
  bind("MRL7700_v1", devices::MRL7700_v1);
  bind("FPGA_v2", devices::FPGA_v2);
  bind("Mote_FPGA", devices::Mote_FPGA);
}

void init_ip_version_bindings(py::module_& m) {
  py::enum_<IpVersion>(m, "IpVersion", "The reference Morla IP version")
      .value("none", IpVersion::none)
      .value("v1", IpVersion::v1)
      .value("v2", IpVersion::v2)
      .value("mote", IpVersion::mote)
      .export_values();
}

}  // namespace morla::python
