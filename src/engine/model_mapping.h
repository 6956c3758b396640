#pragma once
// Splitting a model's layers into sequences: as many layers as the device takes go into
// hardware sequences; the layers it refuses (up to the one that failed) go into software
// sequences, unless only hardware is allowed.
#include <functional>
#include <memory>
#include <vector>

#include "engine_api/sequence.h"
#include "contract/graph_utils.h"
#include "contract/mapping_status.h"

namespace morla {
class MapConstraints;
}

namespace morla::engine {

// One mapping run over the remaining layers (the hardware mapping entry in production).
// `refused`: the recorders' refusals of an earlier attempt at the same run, each a failure
// status naming its layer; the run stops at such a layer as at one that fails its checks.
using MapStep = std::function<MappingStatusGroup(
    LayerList& remaining, std::vector<std::shared_ptr<Sequence>>& sequences,
    const std::shared_ptr<MapConstraints>& constraints, const std::vector<MappingStatus>& refused)>;

// A run that throws RecordingRefused is made again with that refusal, so that a layer the
// device cannot record is handled like one it cannot check. With `hw_only`, the first run
// that maps nothing throws std::runtime_error with its status text; a run that stops early
// but maps layers is no refusal (the next run goes on from where it stopped). Other
// exceptions of the runs (and of the constraints' hooks) pass through.
std::vector<std::shared_ptr<Sequence>> map_sequences(
    const LayerList& layers, bool hw_only, const std::shared_ptr<MapConstraints>& constraints,
    const MapStep& step);

}  // namespace morla::engine
