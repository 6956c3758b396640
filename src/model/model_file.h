#pragma once
// Model files (.fbz): one snappy raw block holding the engine's serialized model.
#include <cstdint>
#include <string>

#include "core/byte_range.h"
#include "core/owned_bytes.h"

namespace morla {

// Reads and decompresses a model file. Throws std::runtime_error "File not found."
// (missing path or a directory), "File is empty.", and a refusal of anything but a regular
// file (a FIFO is opened without waiting for a writer); std::invalid_argument for a file
// above 2147483647 bytes, "Cannot uncompress corrupted serialization buffer" for a bad
// length header or one announcing more than the block could hold or more than the
// 2147483647 bytes of a serialized model (all checked before the file is read), or a
// block that does not decompress. Bytes after the block are
// ignored. A path with a NUL byte: std::invalid_argument "embedded null byte". The bytes
// are the caller's alone (Model::from_buffer keeps them without a copy).
OwnedBytes read_model_file(const std::string& filename);

// Compresses `serialized` and saves it at `model_file`, following symbolic links:
// - a regular file (or a new one) is replaced atomically: the data goes to a temporary file
//   in the same folder (named after the target and the process, so that a later save
//   removes what a save killed mid-write left), renamed over the target only after every
//   write and the close succeeded, so a failure leaves the old file intact;
// - an existing target whose folder takes no new file is truncated and written in place;
// - a device, FIFO or socket is written in place, never replaced.
// Throws std::invalid_argument "Unable to open file for saving model: <model_file>" when
// the target cannot be opened for writing (read-only, a folder, a FIFO without reader, a
// missing folder), with nothing written; "embedded null byte" for a path with a NUL byte;
// a refusal of a compressed model above 2147483647 bytes; std::runtime_error on a failed
// or stalled write.
void write_model_file(const std::string& model_file, ByteRange serialized);

// Snappy's raw compression of `data`, exactly what write_model_file stores.
std::string compress_model(ByteRange data);

}  // namespace morla
