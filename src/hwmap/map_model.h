#pragma once
// The entry of hardware mapping: maps the longest leading run of a model's layers onto
// one device and turns it into one hardware sequence with its device program.
#include <memory>
#include <vector>

#include "engine_api/sequence.h"
#include "contract/graph_utils.h"
#include "contract/mapping_status.h"

namespace morla {

class MapConstraints;

// `layers` in model order: the mapped layers are removed from it and the new sequence is
// appended to `sequences`. Why the run stopped early, if it did, is in the returned group.
// Throws std::runtime_error "Map constraints must be specified." without constraints, and
// std::invalid_argument for an NP of an IP v1 or v2 mesh whose identifier the IP cannot
// select (4 or more). A recorder's refusal of a layer comes out as RecordingRefused.
// `refused`: the recorders' refusals of an earlier attempt at the same run; the run stops
// at a layer one of them names as at a layer that fails its checks, with that status.
MappingStatusGroup map_model_on_device(LayerList& layers,
                                       std::vector<std::shared_ptr<Sequence>>& sequences,
                                       const std::shared_ptr<MapConstraints>& constraints,
                                       const std::vector<MappingStatus>& refused = {});

}  // namespace morla
