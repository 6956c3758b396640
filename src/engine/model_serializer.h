#pragma once
// The stand-in engine's model format: a FlatBuffers ModelDef followed by the CRC-32C of its
// bytes (4 bytes, little endian).
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "engine_api/model.h"

namespace morla::engine {

// Deterministic: the same model always gives the same bytes.
SharedBytes serialize_model(const Model& model);

// Verifies the whole buffer (checksum, structure, parameters, variable sizes, links)
// before building anything; throws std::invalid_argument naming what is wrong.
std::unique_ptr<Model> deserialize_model(const char* data, size_t size);
// The same over bytes it keeps: each variable is a slice of them (one that shares its bytes
// with another variable is copied).
std::unique_ptr<Model> deserialize_model(OwnedBytes bytes);

}  // namespace morla::engine
