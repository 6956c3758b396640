// HardwareDevice and devices().
#include <pybind11/stl.h>

#include <stdexcept>
#include <string_view>

#include "engine_api/hardware_device.h"
#include "drivers/hardware_driver.h"
#include "drivers/soc_driver.h"
#include "python/hardware_device_inference.h"
#include "python/py_hardware_device.h"
#include "python/registration.h"

namespace morla::python {
namespace {

constexpr const char* kLearnEnabledDoc =
    "\n           Property that enables/disables learning on current program (if\n"
    "           possible).\n          ";
constexpr const char* kProgramDoc =
    "\n           Property that retrieves current program or programs a device using a\n"
    "           serialized program bytes object.\n          ";
constexpr const char* kProgramExternalDoc =
    "\n            Program a device using a serialized program info bytes object,\n"
    "            and the address, as it is seen from morla on the device,\n"
    "            of corresponding program data that must have been written beforehand.\n"
    "           ";
constexpr const char* kUnprogramDoc =
    "\n            Clear current program from hardware device, restoring its initial\n"
    "            state\n           ";
constexpr const char* kSocPropertyDoc =
    "\n            The SocDriver interface used by the device, or None if the device\n"
    "            is not a SoC\n          ";
constexpr const char* kLearnMemDoc =
    "\n            Property that retrieves learning layer's memory or updates a device\n"
    "            using a serialized learning layer memory buffer.\n          ";
constexpr const char* kDevicesDoc =
    "\n             Returns the full list of available hardware devices\n\n"
    "             :return: list of Device\n           ";

// Both programming setters: program from a fresh copy, then note the programming clocks.
template <typename Program>
void program_and_count(PyHardwareDevice& self, Program program) {
  program(self.engine(), self.program_copy());
  self.metrics().set("program_clk", self.engine().program_clock_count());
}

const uint8_t* bytes_data(std::string_view bytes) {
  return reinterpret_cast<const uint8_t*>(bytes.data());
}

py::object get_device_program(const PyHardwareDevice& self) {
  const ByteRange program = self.engine().program();
  if (!program.data) return py::none();
  return py::bytes(reinterpret_cast<const char*>(program.data), program.size);
}

void program_device(PyHardwareDevice& self, const py::bytes& bytes) {
  const std::string_view view(bytes);
  program_and_count(self, [&](HardwareDevice& device, ProgramCopy& copy) {
    copy.program(device, bytes_data(view), view.size());
  });
}

void program_device_external(PyHardwareDevice& self, const py::bytes& bytes, uint32_t address) {
  const std::string_view view(bytes);
  program_and_count(self, [&](HardwareDevice& device, ProgramCopy& copy) {
    copy.program_external(device, bytes_data(view), view.size(), address);
  });
}

py::object get_learn_mem(const PyHardwareDevice& self) {
  const std::vector<uint32_t> words = self.engine().learn_mem();
  if (words.empty()) return py::none();
  std::string bytes(words.size() * 4, '\0');
  for (size_t i = 0; i < words.size(); ++i)
    for (size_t k = 0; k < 4; ++k) bytes[4 * i + k] = static_cast<char>(words[i] >> (8 * k));
  return py::bytes(bytes);
}

void set_learn_mem(PyHardwareDevice& self, const py::bytes& bytes) {
  const py::buffer_info info = py::buffer(bytes).request();
  const size_t length = static_cast<size_t>(info.size * info.itemsize);
  HardwareDevice& device = self.engine();
  if (length / 4 != device.learn_mem_size())
    throw std::runtime_error("Unexpected input buffer size.");
  // Copied into words so that the engine never reads a misaligned buffer.
  std::vector<uint32_t> words(length / 4);
  const auto* data = static_cast<const uint8_t*>(info.ptr);
  for (size_t i = 0; i < words.size(); ++i)
    for (size_t k = 0; k < 4; ++k) words[i] |= uint32_t{data[4 * i + k]} << (8 * k);
  device.update_learn_mem(words.data());
}

}  // namespace

void init_hardware_device(py::module_& m) {
  py::class_<PyHardwareDevice, Device, std::shared_ptr<PyHardwareDevice>> cls(m, "HardwareDevice");
  cls.def_property(
         "learn_enabled",
         [](const PyHardwareDevice& self) { return self.engine().learn_enabled(); },
         [](PyHardwareDevice& self, bool enabled) {
           HardwareDevice& device = self.engine();
           if (device.learn_enabled() != enabled) device.set_learn_enabled(enabled);
         },
         kLearnEnabledDoc)
      .def_property("program", &get_device_program, &program_device, kProgramDoc)
      .def("program_external", &program_device_external, kProgramExternalDoc)
      .def(
          "unprogram", [](PyHardwareDevice& self) { self.program_copy().unprogram(self.engine()); },
          kUnprogramDoc);
  add_device_inference_members(cls);
  cls.def_property_readonly(
         "memory",
         [](const PyHardwareDevice& self) {
           const DeviceMemory memory = self.engine().memory();
           return py::make_tuple(memory.used, memory.top);
         },
         "The device memory usage and top usage (in bytes)")
      .def(
          "reset_top_memory", [](PyHardwareDevice& self) { self.engine().reset_top_memory(); },
          "Reset the device memory informations")
      .def_property_readonly(
          "soc",
          [](const PyHardwareDevice& self) {
            return dynamic_cast<SocDriver*>(self.engine().driver());
          },
          py::return_value_policy::reference, kSocPropertyDoc)
      .def_property_readonly(
          "metrics", [](PyHardwareDevice& self) { return &self.metrics(); },
          py::return_value_policy::reference_internal, "The metrics from this device")
      .def_property_readonly(
          "inference_power_events", [](PyHardwareDevice& self) { return self.power_events(); },
          "Copy of power events logged after inference")
      .def_property("learn_mem", &get_learn_mem, &set_learn_mem, kLearnMemDoc)
      .def("__eq__", [](const PyHardwareDevice& self, const Device* other) {
        return other == static_cast<const Device*>(&self);
      });

  m.def(
      "devices", [] { return list_hardware_devices(); }, kDevicesDoc);
}

}  // namespace morla::python
