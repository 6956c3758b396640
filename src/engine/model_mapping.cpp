#include "engine/model_mapping.h"

#include <algorithm>
#include <stdexcept>

#include "engine_api/layer.h"
#include "engine/software_sequence.h"
#include "mapping/recording_refusal.h"

namespace morla::engine {
namespace {

// The layer a failed run names, or the first remaining layer.
size_t failed_index(const LayerList& remaining, const MappingStatusGroup& group) {
  for (const auto& status : group.statuses) {
    if (status.layer_name.empty()) continue;
    const auto found = std::find_if(remaining.begin(), remaining.end(), [&](const LayerPtr& l) {
      return l->name() == status.layer_name;
    });
    if (found != remaining.end()) return static_cast<size_t>(found - remaining.begin());
  }
  return 0;
}

// One run; while a recorder refuses a layer, the run is made again stopping at that layer.
// Each attempt stops before the layer refused last, so the attempts end.
MappingStatusGroup map_one_run(const MapStep& step, LayerList& remaining,
                               std::vector<std::shared_ptr<Sequence>>& sequences,
                               const std::shared_ptr<MapConstraints>& constraints) {
  std::vector<MappingStatus> refused;
  for (;;) {
    try {
      return step(remaining, sequences, constraints, refused);
    } catch (const RecordingRefused& refusal) {
      const bool again = std::any_of(refused.begin(), refused.end(), [&](const MappingStatus& s) {
        return s.layer_name == refusal.status().layer_name;
      });
      if (again) throw;
      refused.push_back(refusal.status());
    }
  }
}

}  // namespace

std::vector<std::shared_ptr<Sequence>> map_sequences(
    const LayerList& layers, bool hw_only, const std::shared_ptr<MapConstraints>& constraints,
    const MapStep& step) {
  std::vector<std::shared_ptr<Sequence>> sequences;
  LayerList remaining = layers;
  while (!remaining.empty()) {
    const size_t before = remaining.size();
    const MappingStatusGroup group = map_one_run(step, remaining, sequences, constraints);
    // A run that stops early (no NP left in its sequence, say) leaves the rest to the next.
    if (remaining.size() < before) continue;
    if (hw_only) {
      // A run that maps nothing and reports no failure found nothing for the hardware in
      // its layers (an InputData alone): its group would only say "Success.".
      if (group.kind == 0)
        throw std::runtime_error(
            make_mapping_status(remaining.front(),
                                "No layer from this one on runs on a hardware component.")
                .message());
      throw std::runtime_error(group.message());
    }
    const size_t last = failed_index(remaining, group);
    LayerList software(remaining.begin(), remaining.begin() + static_cast<ptrdiff_t>(last + 1));
    remaining.erase(remaining.begin(), remaining.begin() + static_cast<ptrdiff_t>(last + 1));
    sequences.push_back(std::make_shared<SoftwareSequence>(std::move(software)));
  }
  return sequences;
}

}  // namespace morla::engine
