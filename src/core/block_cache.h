#pragma once
// Large blocks of storage (tensors, model files), kept for reuse when they are freed. A
// software run makes and drops tensors of the same few sizes frame after frame, a model
// file load its file and model buffers; taken from the system each time, every page of
// each is faulted in again (the allocator hands large blocks back to it on free). A few
// freed blocks are kept instead and given to the next request of their size.
#include <cstddef>

namespace morla {

// `bytes` of storage (at least 1), zero-filled when `zeros`, starting on a 64-byte
// boundary; never null (throws std::bad_alloc).
void* acquire_block(size_t bytes, bool zeros);
// Gives back storage of acquire_block(bytes, ...).
void release_block(void* block, size_t bytes) noexcept;

}  // namespace morla
