#pragma once
// The rules of the merge layers (Add, Concatenate), which skip DMAs carry into the CNP
// layer after them: their place in the graph and, for Add, the shifts the merge applies.
#include "engine_api/layer.h"
#include "contract/mapping_status.h"

namespace morla::v2 {

MappingStatus check_add(const Layer& layer);
MappingStatus check_concatenate(const Layer& layer);

}  // namespace morla::v2
