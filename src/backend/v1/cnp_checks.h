#pragma once
// Whether a Convolutional or SeparableConvolutional layer fits a v1 CNP, and the rules of a
// layer spread over several CNPs.
#include <cstdint>
#include <vector>

#include "engine_api/tensor.h"
#include "contract/component.h"
#include "contract/mapping_status.h"

namespace morla {
struct HardwareDescription;
}

namespace morla::v1 {

// Input limits, filters, kernel, strides, padding and pooling; every broken rule adds its
// message.
MappingStatus check_cnp_geometry(const Layer& layer, const uint32_t* conv_record,
                                 const uint32_t* pool_record, uint32_t hw_version);
MappingStatus check_convolutional(const HardwareDescription& description, const Layer& layer,
                                  uint32_t hw_version);
MappingStatus check_separable_convolutional(const HardwareDescription& description,
                                            const Layer& layer, uint32_t hw_version);
// An int8-stored weight tensor that is not all zero.
MappingStatus check_separable_weights_nonzero(const Layer& layer, const Dense& weights);

MappingStatus check_multi_np_convolution(const Layer& layer,
                                         const std::vector<hw::Component>& components,
                                         uint32_t hw_version);
MappingStatus check_multi_np_pooling(const Layer& layer,
                                     const std::vector<hw::Component>& components);

}  // namespace morla::v1
