// The stand-in engine's reading of a device program: the program-info buffer and the
// program-data buffer after it are verified before anything is read, so that bytes from a
// user never lead past their end. The info spans whole 32-bit words, so that the data
// buffer after it starts on a word like the program.
#include "engine_api/program_info.h"

#include <flatbuffers/flatbuffers.h>

#include <cstring>
#include <stdexcept>

#include "device_program_generated.h"

namespace morla {
namespace {

namespace fb = device_program;

// One DMA descriptor: eight 32-bit words.
constexpr uint64_t kDescriptorBytes = 32;

// Where the figures sit in ProgramInfo::words: 64-bit values in two words, low first.
enum Slot : size_t {
  kInputBytes = 0,
  kOutputBytes = 2,
  kDataBytes = 4,
  kExternalBytes = 6,
  kDescriptors = 8
};

void put(ProgramInfo& info, Slot slot, uint64_t value) {
  info.words[slot] = static_cast<uint32_t>(value);
  info.words[slot + 1] = static_cast<uint32_t>(value >> 32);
}

uint64_t get(const ProgramInfo& info, Slot slot) {
  return info.words[slot] | uint64_t{info.words[slot + 1]} << 32;
}

[[noreturn]] void refuse(const char* why) {
  throw std::invalid_argument(std::string("Not a device program: ") + why + ".");
}

// The size-prefixed buffer at the start of `data`, checked to lie within `size` bytes.
size_t prefixed_length(const uint8_t* data, size_t size, const char* what) {
  if (size < 4) refuse(what);
  uint32_t length;
  std::memcpy(&length, data, 4);
  if (uint64_t{length} + 4 > size) refuse(what);
  return size_t{length} + 4;
}

// Bytes of one frame of `dims` elements of `bits` bits, in whole 32-bit words.
uint64_t frame_bytes(const flatbuffers::Vector<uint32_t>* dims, uint32_t bits) {
  if (!dims || dims->size() == 0) return 0;
  __extension__ unsigned __int128 elements = 1;
  for (uint32_t d : *dims) elements *= d;
  __extension__ const unsigned __int128 words = (elements * bits + 31) / 32;
  if (words > UINT64_MAX / 4) refuse("a frame size out of range");
  return static_cast<uint64_t>(words) * 4;
}

uint64_t external_bytes(const fb::NpProgramInfo* program) {
  const auto* external = program ? program->external() : nullptr;
  return external ? uint64_t{external->count()} * 4 : 0;
}

}  // namespace

ProgramInfo::ProgramInfo(const uint8_t* program, size_t size) {
  if (!program || size == 0) refuse("no bytes");
  const size_t info_size = prefixed_length(program, size, "the program info is truncated");
  if (info_size % 4 != 0) refuse("the program info is not a whole number of 32-bit words");
  flatbuffers::Verifier info_check(program, info_size);
  if (!info_check.VerifySizePrefixedBuffer<fb::ProgramInfoRoot>(nullptr))
    refuse("the program info does not verify");
  const size_t data_size = size - info_size;
  const uint8_t* data = program + info_size;
  if (prefixed_length(data, data_size, "the program data is truncated") != data_size)
    refuse("bytes follow the program data");
  flatbuffers::Verifier data_check(data, data_size);
  if (!data_check.VerifySizePrefixedBuffer<fb::ProgramDataRoot>(nullptr))
    refuse("the program data does not verify");
  const auto* root = flatbuffers::GetSizePrefixedRoot<fb::ProgramInfoRoot>(program);
  put(*this, kInputBytes, frame_bytes(root->input_dims(), root->input_bits()));
  put(*this, kOutputBytes, frame_bytes(root->output_dims(), root->output_bits()));
  put(*this, kDataBytes, data_size);
  uint64_t external = 0;
  if (root->passes())
    for (const auto* pass : *root->passes())
      if (pass->programs())
        for (const auto* np : *pass->programs()) external += external_bytes(np);
  if (root->learning()) external += external_bytes(root->learning()->image());
  put(*this, kExternalBytes, external);
  put(*this, kDescriptors, root->descriptors());
}

size_t input_memory_required(const ProgramInfo& info) { return get(info, kInputBytes); }

size_t input_descriptor_memory_required(const ProgramInfo&) { return kDescriptorBytes; }

size_t output_memory_required(const ProgramInfo& info) { return get(info, kOutputBytes); }

size_t program_data_memory_required(const ProgramInfo& info) { return get(info, kDataBytes); }

size_t program_descriptors_memory_required(const ProgramInfo& info) {
  return get(info, kDescriptors) * kDescriptorBytes;
}

size_t extra_program_memory_required(const ProgramInfo& info) { return get(info, kExternalBytes); }

}  // namespace morla
