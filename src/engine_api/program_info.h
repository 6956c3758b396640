#pragma once
// The engine's description of a device program and its memory requirements.
#include <cstddef>
#include <cstdint>

namespace morla {

// Fixed-size, trivially copyable; built by the engine from program bytes and
// handed back to the engine's memory-requirement functions. The bytes must be a whole
// program, info and data; anything else throws std::invalid_argument.
class ProgramInfo {
 public:
  ProgramInfo(const uint8_t* program, size_t size);  // engine
  ProgramInfo(const ProgramInfo&) = default;
  ProgramInfo& operator=(const ProgramInfo&) = default;

  // Engine-defined words.
  uint32_t words[16] = {};
};

size_t input_memory_required(const ProgramInfo& info);
size_t input_descriptor_memory_required(const ProgramInfo& info);
size_t output_memory_required(const ProgramInfo& info);
size_t program_data_memory_required(const ProgramInfo& info);
size_t program_descriptors_memory_required(const ProgramInfo& info);
size_t extra_program_memory_required(const ProgramInfo& info);

}  // namespace morla
