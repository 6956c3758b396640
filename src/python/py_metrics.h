#pragma once
// Named 64-bit measurements a model or a hardware device keeps about its last program load
// and its last inference.
#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

namespace morla::python {

class PyMetrics {
 public:
  // Inserts the metric or overwrites its value.
  void set(const std::string& name, int64_t value) { values_[name] = value; }
  // Throws std::invalid_argument "<name> : no such metrics" when absent.
  int64_t get(const std::string& name) const;
  std::vector<std::string> names() const;

 private:
  std::unordered_map<std::string, int64_t> values_;
};

}  // namespace morla::python
