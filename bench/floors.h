// What bench/floors.cpp gives the programs built with it (bench/paths.cpp,
// bench/floors_python.cpp); the whole list is in floors.cpp.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

extern "C" {
uint64_t read_pass(const uint64_t* words, size_t n);
uint64_t bound(size_t count, const void* const* inputs, void* const* copies, const size_t* sizes,
               const void* result, void* result_copy, size_t result_bytes);
}

// Room for a copy of `bytes` bytes at the same offset in a page as `source`, in `room`:
// copies between them run at the machine's best (on AMD Zen 3, glibc's memcpy of up to some
// 500 KB runs many times slower when the target lies 1 to 31 bytes past the source in a page).
char* at_offset_of(const void* source, size_t bytes, std::vector<char>& room);
