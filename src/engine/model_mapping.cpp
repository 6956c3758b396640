#include "engine/model_mapping.h"

#include <algorithm>
#include <stdexcept>

#include "core/layer.h"
#include "engine/software_sequence.h"

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

}  // namespace

std::vector<std::shared_ptr<Sequence>> map_sequences(
    const LayerList& layers, bool hw_only, const std::shared_ptr<MapConstraints>& constraints,
    const MapStep& step) {
  std::vector<std::shared_ptr<Sequence>> sequences;
  LayerList remaining = layers;
  while (!remaining.empty()) {
    const size_t before = remaining.size();
    const MappingStatusGroup group = step(remaining, sequences, constraints);
    if (hw_only && !remaining.empty()) {
      // A run that reports no failure yet leaves layers found nothing for the hardware in
      // them (an InputData alone): its group would only say "Success.".
      if (group.kind == 0)
        throw std::runtime_error(
            make_mapping_status(remaining.front(),
                                "No layer from this one on runs on a hardware component.")
                .message());
      throw std::runtime_error(group.message());
    }
    if (remaining.size() < before) continue;
    const size_t last = failed_index(remaining, group);
    LayerList software(remaining.begin(), remaining.begin() + static_cast<ptrdiff_t>(last + 1));
    remaining.erase(remaining.begin(), remaining.begin() + static_cast<ptrdiff_t>(last + 1));
    sequences.push_back(std::make_shared<SoftwareSequence>(std::move(software)));
  }
  return sequences;
}

}  // namespace morla::engine
