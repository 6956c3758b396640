#pragma once
// What a mapped layer runs on: one hardware component, the part of the layer it handles
// and its memory needs.
#include <cstdint>
#include <optional>

#include "core/hw_ident.h"
#include "core/hw_type.h"
#include "core/shape.h"

namespace morla {

// The part of a layer's input handled by one NP.
struct NpSpace {
  uint32_t x = 0;
  uint32_t y = 0;
  // Width, height, channels of the part.
  Shape shape;

  // Offsets and the used dimensions of the shape.
  bool operator==(const NpSpace& other) const;
  bool operator!=(const NpSpace& other) const { return !(*this == other); }
};

// Memory needs of one component; zero until the program has been built.
struct MemoryInfo {
  uint32_t input_size = 0;     // bytes
  uint32_t weight_size = 0;    // bytes
  uint32_t external_size = 0;  // bytes
  uint32_t stsram_32b_size = 0;
  uint32_t fsram_64b_size = 0;
  uint32_t tsram_51b_size = 0;
  uint32_t evsram_32b_size = 0;

  bool operator==(const MemoryInfo& other) const = default;
};

namespace hw {

// The piece of a layer an NP handles, for NPs made by a split or by the mapper.
struct NpBlock {
  uint32_t start_neuron = 0;  // first filter handled
  uint32_t filters = 0;       // number of filters handled
  NpSpace spatial_partition;  // the part of the input the NP owns
  NpSpace input_window;       // the part it reads, halo included
  bool single_buffer = false;
};

struct Component {
  Type type = Type(0);
  // All zero until the component pool assigns one.
  Ident ident;
  std::optional<NpBlock> np_block;
  MemoryInfo mem_info;

  // single_buffer takes no part in the comparison.
  bool operator==(const Component& other) const;
  bool operator!=(const Component& other) const { return !(*this == other); }
};

}  // namespace hw
}  // namespace morla

namespace morla::hw {
// "None", "HRC", "CNP1", ..., "DMA"; "Unknown" for any other value.
const char* type_name(Type type);
}  // namespace morla::hw
