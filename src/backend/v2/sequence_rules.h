#pragma once
// Where layers may stand on a v2 device: the rules of a run of consecutive layers and of
// the components chosen for one layer. Both stop at the first broken rule.
#include <memory>
#include <vector>

#include "engine_api/layer.h"
#include "contract/component.h"
#include "contract/mapping_status.h"

namespace morla::v2 {

// `layers`: a non-empty run from the sequence's first layer up to the checked one.
MappingStatus check_v2_sequence(const std::vector<std::shared_ptr<Layer>>& layers);

MappingStatus check_v2_np_mapping(const Layer& layer, const std::vector<hw::Component>& components,
                                  bool first_of_pass);

}  // namespace morla::v2
