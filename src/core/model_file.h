#pragma once
// Model files (.fbz): one snappy raw block holding the engine's serialized model.
#include <cstdint>
#include <string>

#include "core/byte_range.h"
#include "core/shared_bytes.h"

namespace morla {

// Reads and decompresses a model file. Throws std::runtime_error "File not found."
// (missing path or a directory), "File is empty.", and std::invalid_argument
// "Cannot uncompress corrupted serialization buffer" for a bad length header or one
// announcing more than the block could hold, or a block that does not decompress. Bytes
// after the block are ignored.
SharedBytes read_model_file(const std::string& filename);

// Compresses `serialized` and replaces `model_file` with it atomically: the data goes
// to a temporary file in the same folder, which is renamed over the target only after
// every write and the close succeeded, so a failure leaves the old file intact.
// Throws std::invalid_argument "Unable to open file for saving model: <model_file>"
// when the folder cannot take the file, std::runtime_error on a failed write.
void write_model_file(const std::string& model_file, ByteRange serialized);

// Snappy's raw compression of `data`, exactly what write_model_file stores.
std::string compress_model(ByteRange data);

}  // namespace morla
