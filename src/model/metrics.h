#pragma once
// Named 64-bit measurements a model or a hardware device keeps about its last program load
// and its last inference, and the one way an inference writes them.
#include <cstdint>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

namespace morla {

class Metrics {
 public:
  // Inserts the metric or overwrites its value.
  void set(const std::string& name, int64_t value) { values_[name] = value; }
  // Throws std::invalid_argument "<name> : no such metrics" when absent.
  int64_t get(const std::string& name) const;
  std::vector<std::string> names() const;

 private:
  std::unordered_map<std::string, int64_t> values_;
};

// What one inference measured. The clock counts are known only for a run on hardware.
struct InferenceMeasure {
  uint64_t frames = 0;
  int64_t start_ms = 0, end_ms = 0;
  std::optional<uint32_t> clock_count;          // "inference_clk"
  std::optional<uint32_t> program_clock_count;  // "program_clk"
};

// Writes the measure; absent clock counts leave earlier values in place.
void record_inference(Metrics& metrics, const InferenceMeasure& measure);

}  // namespace morla
