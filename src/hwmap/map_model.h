#pragma once
// The entry of hardware mapping: maps the longest leading run of a model's layers onto
// one device and turns it into one hardware sequence with its device program.
#include <memory>
#include <vector>

#include "mapping/graph_utils.h"
#include "core/sequence.h"
#include "mapping/mapping_status.h"

namespace morla {

class MapConstraints;

// `layers` in model order: the mapped layers are removed from it and the new sequence is
// appended to `sequences`. Why the run stopped early, if it did, is in the returned group.
// Throws std::runtime_error "Map constraints must be specified." without constraints.
MappingStatusGroup map_model_on_device(LayerList& layers,
                                       std::vector<std::shared_ptr<Sequence>>& sequences,
                                       const std::shared_ptr<MapConstraints>& constraints);

}  // namespace morla
