#pragma once
// Tables with one row per layer type, as the back ends keep what they know of each type.
#include <cstddef>

#include "core/enums.h"

namespace morla {

// The row of `type` in `rows` (each row names its `type`); null when no row does.
template <typename Row, size_t N>
constexpr const Row* find_type_row(const Row (&rows)[N], LayerType type) {
  for (const Row& row : rows)
    if (row.type == type) return &row;
  return nullptr;
}

}  // namespace morla
