#pragma once
// The stand-in engine's model format: a FlatBuffers ModelDef wrapped with a CRC-32.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "core/model.h"

namespace morla::engine {

// Deterministic: the same model always gives the same bytes.
std::vector<uint8_t> serialize_model(const Model& model);

// Verifies the whole buffer (structure, checksum, parameters, variable sizes, links)
// before building anything; throws std::invalid_argument naming what is wrong.
std::unique_ptr<Model> deserialize_model(const char* data, size_t size);

}  // namespace morla::engine
