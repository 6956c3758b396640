#pragma once
// Process-wide recorder of every block read or written through a host driver,
// written as text to the file named by HW_DUMP at process exit.
#include <cstddef>
#include <cstdint>
#include <ostream>
#include <vector>

namespace morla {

struct HwDumpRecord {
  uint32_t address = 0;
  std::vector<uint8_t> bytes;
  uint8_t kind = 'r';  // 'r' or 'w'
};

// Enables the dump when HW_DUMP is set (once per process) and registers the
// exit-time writer.
void hw_dump_init();
// Appends a copy of the bytes when the dump is enabled; safe from any thread.
void hw_dump_record(uint32_t address, const void* data, size_t length, uint8_t kind);
inline void hw_dump_record_read(uint32_t address, const void* data, size_t length) {
  hw_dump_record(address, data, length, 'r');
}
inline void hw_dump_record_write(uint32_t address, const void* data, size_t length) {
  hw_dump_record(address, data, length, 'w');
}
// Writes the recorded accesses to the HW_DUMP file (runs at exit).
void hw_dump_write();

// The dump text of `records`: one line per 32-bit word in access order, runs of
// identical read lines folded into one line with their count.
void format_hw_dump(const std::vector<HwDumpRecord>& records, std::ostream& out);

}  // namespace morla
