#pragma once
// Splitting a model's layers into sequences: as many layers as the device takes go into
// hardware sequences; the layers it refuses (up to the one that failed) go into software
// sequences, unless only hardware is allowed.
#include <functional>
#include <memory>
#include <vector>

#include "mapping/graph_utils.h"
#include "core/sequence.h"
#include "mapping/mapping_status.h"

namespace morla {
class MapConstraints;
}

namespace morla::engine {

// One mapping run over the remaining layers (the hardware mapping entry in production).
using MapStep = std::function<MappingStatusGroup(
    LayerList& remaining, std::vector<std::shared_ptr<Sequence>>& sequences,
    const std::shared_ptr<MapConstraints>& constraints)>;

// With `hw_only`, the first run that leaves layers unmapped throws std::runtime_error with
// its status text. Exceptions of the runs (and of the constraints' hooks) pass through.
std::vector<std::shared_ptr<Sequence>> map_sequences(
    const LayerList& layers, bool hw_only, const std::shared_ptr<MapConstraints>& constraints,
    const MapStep& step);

}  // namespace morla::engine
