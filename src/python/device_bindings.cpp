// Device: the base of every device, and the virtual device built from a version and a mesh.
#include <memory>

#include "core/device.h"
#include "core/mesh.h"
#include "core/virtual_device.h"
#include "python/registration.h"

namespace morla::python {

void init_device_bindings(py::module_& m) {
  py::class_<Device, std::shared_ptr<Device>>(m, "Device")
      .def(py::init([](const HwVersion& version, const Mesh& mesh) {
        return std::shared_ptr<Device>(make_virtual_device(version, mesh));
      }))
      .def_property_readonly(
          "desc",
          [](const Device& device) -> py::object {
            const char* text = device.desc();
            if (!text) return py::none();
            return py::str(text);
          },
          "\n             Returns the Device description\n\n"
          "             :return: a string describing the Device\n           ")
      .def_property_readonly("version", &Device::version, "The device hardware version.")
      .def_property_readonly("ip_version", &Device::get_ip_version, "The device IP version.")
      .def_property_readonly("mesh", &Device::mesh, py::return_value_policy::reference_internal,
                             "The device Mesh layout");
}

}  // namespace morla::python
