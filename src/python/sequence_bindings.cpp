// ProgramParts, Sequence and Pass.
#include <pybind11/stl.h>

#include <memory>
#include <string>
#include <vector>

#include "engine_api/layer.h"
#include "engine_api/sequence.h"
#include "python/registration.h"

namespace morla::python {
namespace {

constexpr const char* kProgramPartsDoc =
    "\n      Represents a program split in different parts.\n\n"
    "      program_info is the program part containing information on how to program the\n"
    "      device.\n"
    "      program_data is the program part containing the program data required by morla\n"
    "      to configure the IP.\n";
constexpr const char* kSequenceDoc =
    "\n          Represents a sequence of layers.\n\n"
    "          Sequences can be mapped in Software or on a Device.\n          ";
constexpr const char* kPassDoc =
    "\n      Represents a subset of the Sequence.\n\n"
    "      Hardware Sequences can typically be split into multiple passes on devices\n"
    "      that support hardware partial reconfiguration feature, reducing the\n"
    "      intervention of the software during inference.\n      ";
constexpr const char* kProgramDoc =
    "\n             Get the hardware program for this sequence.\n\n"
    "             Returns None if the Sequence is not compatible with the selected\n"
    "             Device.\n\n"
    "             :return: a bytes buffer or None\n          ";

// A new bytes object, or None for an absent range.
py::object bytes_or_none(const ByteRange& range) {
  if (!range.data) return py::none();
  return py::bytes(reinterpret_cast<const char*>(range.data), range.size);
}

}  // namespace

void init_sequence_bindings(py::module_& m) {
  py::class_<Sequence::ProgramParts>(m, "ProgramParts", kProgramPartsDoc)
      .def_property_readonly(
          "program_info",
          [](const Sequence::ProgramParts& parts) { return bytes_or_none(parts.program_info); })
      .def_property_readonly("program_data", [](const Sequence::ProgramParts& parts) {
        return bytes_or_none(parts.program_data);
      });

  py::class_<Sequence, std::shared_ptr<Sequence>>(m, "Sequence", kSequenceDoc)
      .def_property_readonly(
          "passes", [](const Sequence& self) { return self.passes(); },
          "Get the list of passes in this sequence.")
      .def_property_readonly("backend", &Sequence::backend, "The backend type for this Sequence.")
      .def_property_readonly(
          "program", [](const Sequence& self) { return bytes_or_none(self.program()); },
          kProgramDoc)
      // The parts point into the sequence's program: they keep the sequence alive.
      .def_property_readonly(
          "program_parts",
          py::cpp_function([](const Sequence& self) { return self.program_parts(); },
                           py::keep_alive<0, 1>()),
          "Get the program, split in different parts")
      .def_property_readonly(
          "name", [](const Sequence& self) { return py::str(self.name()); },
          "The name of the sequence");

  py::class_<Sequence::Pass, std::shared_ptr<Sequence::Pass>>(m, "Pass", kPassDoc)
      .def_property_readonly(
          "layers", [](const Sequence::Pass& self) { return self.layers; },
          "Get the list of layers in this pass.");
}

}  // namespace morla::python
