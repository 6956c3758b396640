#include "model/metrics.h"

#include <stdexcept>

namespace morla {

int64_t Metrics::get(const std::string& name) const {
  const auto it = values_.find(name);
  if (it == values_.end()) throw std::invalid_argument(name + " : no such metrics");
  return it->second;
}

std::vector<std::string> Metrics::names() const {
  std::vector<std::string> out;
  out.reserve(values_.size());
  for (const auto& entry : values_) out.push_back(entry.first);
  return out;
}

void record_inference(Metrics& metrics, const InferenceMeasure& measure) {
  if (measure.clock_count) metrics.set("inference_clk", *measure.clock_count);
  if (measure.program_clock_count) metrics.set("program_clk", *measure.program_clock_count);
  metrics.set("inference_frames", static_cast<int64_t>(measure.frames));
  metrics.set("inference_start", measure.start_ms);
  metrics.set("inference_end", measure.end_ms);
}

}  // namespace morla
