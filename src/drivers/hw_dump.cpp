#include "drivers/hw_dump.h"

#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <sstream>
#include <string>

#include "drivers/driver_print.h"
#include "drivers/posix/text_file.h"
#include "drivers/process_owner.h"

namespace morla {
namespace {

// The record list and its switch. The list is appended from the caller's thread
// and from the power-sampling thread, hence the lock.
struct Recorder {
  std::mutex mutex;
  std::vector<HwDumpRecord> records;
  bool enabled = false;
};

Recorder& recorder() {
  static Recorder instance;
  // The sampling thread records too: a child forked meanwhile starts with the lock free.
  static const bool held_across_fork = (hold_across_fork(instance.mutex), true);
  (void)held_across_fork;
  return instance;
}

std::string word_line(uint8_t kind, uint32_t address, uint32_t word) {
  char line[32];
  std::snprintf(line, sizeof line, "%c %08x %08x", kind, address, word);
  return line;
}

std::string leftover_line(uint8_t kind, uint32_t address, const uint8_t* bytes, size_t count) {
  char line[32];
  int n = std::snprintf(line, sizeof line, "%c %08x ", kind, address);
  for (size_t i = count; i-- > 0;) n += std::snprintf(line + n, sizeof line - n, "%02x", bytes[i]);
  return line;
}

// Pending line and its repeat count; emits a group when a different line comes.
class FoldingWriter {
 public:
  explicit FoldingWriter(std::ostream& out) : out_(out) {}

  void word(const std::string& line) {
    if (line == pending_ && line[0] == 'r') {
      ++count_;
      return;
    }
    flush();
    pending_ = line;
    count_ = 1;
  }

  // A line that never folds, written in access order.
  void single(const std::string& line) {
    flush();
    out_ << line << '\n';
  }

  void flush() {
    if (count_ >= 2)
      out_ << pending_ << "  // * " << count_ << '\n';
    else if (!pending_.empty())
      out_ << pending_ << '\n';
    pending_.clear();
    count_ = 0;
  }

 private:
  std::ostream& out_;
  std::string pending_;
  unsigned long count_ = 0;
};

}  // namespace

void hw_dump_init() {
  Recorder& r = recorder();  // constructed before the writer is registered: destroyed after it
  {
    std::lock_guard lock(r.mutex);
    if (r.enabled) return;
    const char* path = std::getenv("HW_DUMP");
    if (path == nullptr) return;
    driver_print("Debug will be at %s as hardware dump file at exit...\n", path);
    r.enabled = true;
  }
  std::atexit(hw_dump_write);
}

void hw_dump_record(uint32_t address, const void* data, size_t length, uint8_t kind) {
  Recorder& r = recorder();
  std::lock_guard lock(r.mutex);
  if (!r.enabled) return;
  const auto* bytes = static_cast<const uint8_t*>(data);
  r.records.push_back(HwDumpRecord{address, std::vector<uint8_t>(bytes, bytes + length), kind});
}

void format_hw_dump(const std::vector<HwDumpRecord>& records, std::ostream& out) {
  FoldingWriter writer(out);
  for (const HwDumpRecord& record : records) {
    uint32_t address = record.address;
    const size_t words = record.bytes.size() / 4;
    for (size_t i = 0; i < words; ++i, address += 4) {
      const uint8_t* b = record.bytes.data() + 4 * i;
      const uint32_t word = b[0] | b[1] << 8 | b[2] << 16 | uint32_t{b[3]} << 24;
      writer.word(word_line(record.kind, address, word));
    }
    if (const size_t rest = record.bytes.size() % 4; rest != 0)
      writer.single(leftover_line(record.kind, address, record.bytes.data() + 4 * words, rest));
  }
  writer.flush();
}

void hw_dump_write() {
  Recorder& r = recorder();
  std::lock_guard lock(r.mutex);
  if (!r.enabled) return;
  const char* path = std::getenv("HW_DUMP");
  if (path == nullptr) return;
  driver_print("Saving hardware dump to %s\n", path);
  std::ostringstream text;
  format_hw_dump(r.records, text);
  if (const std::string failure = write_text_file(path, text.str()); !failure.empty())
    driver_print("Could not save the hardware dump to %s: %s\n", path, failure.c_str());
}

}  // namespace morla
