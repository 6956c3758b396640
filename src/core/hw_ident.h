#pragma once
#include <cstdint>
#include <cstring>

namespace morla::hw {

// Position of a component in the mesh.
struct Ident {
  uint8_t col = 0;
  uint8_t row = 0;
  uint8_t id = 0;
  uint8_t channel = 0;

  bool operator==(const Ident& other) const {
    uint32_t a, b;
    std::memcpy(&a, this, 4);
    std::memcpy(&b, &other, 4);
    return a == b;
  }
  bool operator!=(const Ident& other) const { return !(*this == other); }
  // Lexicographic in field order.
  bool operator<(const Ident& other) const {
    if (col != other.col) return col < other.col;
    if (row != other.row) return row < other.row;
    if (id != other.id) return id < other.id;
    return channel < other.channel;
  }
};
static_assert(sizeof(Ident) == 4);

}  // namespace morla::hw
