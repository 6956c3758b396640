// ProgramMemoryRequired and get_program_memory_infos.
#include <cstdint>
#include <string>
#include <string_view>

#include "engine_api/program_info.h"
#include "python/registration.h"

namespace morla::python {
namespace {

struct ProgramMemoryRequired {
  uint64_t input_memory = 0;
  uint64_t input_descriptor_memory = 0;
  uint64_t output_memory = 0;
  uint64_t program_memory = 0;
  uint64_t extra_program_memory = 0;
  uint64_t program_descriptors_memory = 0;
};

ProgramMemoryRequired memory_required(const py::bytes& program) {
  const std::string_view view = program;
  const ProgramInfo info(reinterpret_cast<const uint8_t*>(view.data()), view.size());
  ProgramMemoryRequired required;
  required.input_memory = input_memory_required(info);
  required.input_descriptor_memory = input_descriptor_memory_required(info);
  required.output_memory = output_memory_required(info);
  required.program_memory = program_data_memory_required(info);
  required.extra_program_memory = extra_program_memory_required(info);
  required.program_descriptors_memory = program_descriptors_memory_required(info);
  return required;
}

std::string text_of(const ProgramMemoryRequired& r) {
  return "<morla.ProgramMemoryRequired(input_memory=" + std::to_string(r.input_memory) +
         "B, input_descriptor_memory=" + std::to_string(r.input_descriptor_memory) +
         "B, output_memory=" + std::to_string(r.output_memory) +
         "B, program_memory=" + std::to_string(r.program_memory) +
         "B, extra_program_memory=" + std::to_string(r.extra_program_memory) +
         "B, program_descriptors_memory=" + std::to_string(r.program_descriptors_memory) + "B)>";
}

}  // namespace

void init_program_memory_bindings(py::module_& m) {
  py::class_<ProgramMemoryRequired>(m, "ProgramMemoryRequired")
      .def_readonly("input_memory", &ProgramMemoryRequired::input_memory,
                    "memory required (in bytes) for one input")
      .def_readonly("input_descriptor_memory", &ProgramMemoryRequired::input_descriptor_memory,
                    "memory required (in bytes) for one input descriptor")
      .def_readonly("output_memory", &ProgramMemoryRequired::output_memory,
                    "memory required (in bytes) for one output")
      .def_readonly("program_memory", &ProgramMemoryRequired::program_memory,
                    "memory required (in bytes) for program")
      .def_readonly("extra_program_memory", &ProgramMemoryRequired::extra_program_memory)
      .def_readonly("program_descriptors_memory",
                    &ProgramMemoryRequired::program_descriptors_memory,
                    "memory required (in bytes) for program descriptors")
      .def("__repr__", &text_of);
  m.def("get_program_memory_infos", &memory_required,
        "Get the memory requirements for the given program");
}

}  // namespace morla::python
