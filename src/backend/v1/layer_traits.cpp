#include "backend/v1/layer_traits.h"

#include "backend/v1/cnp_checks.h"
#include "backend/v1/cnp_recording.h"
#include "backend/v1/fnp_checks.h"
#include "backend/v1/fnp_recording.h"
#include "backend/v1/hrc_checks.h"
#include "backend/v1/hrc_recording.h"
#include "contract/layer_type_table.h"

namespace morla::v1 {

namespace {

MappingStatus check_hrc(const HardwareDescription&, const Layer& layer, uint32_t) {
  return check_input_convolutional(layer);
}

// The layer rules, then the weight range, then the weights per neuron: the first that fails.
MappingStatus check_fnp(const HardwareDescription& description, const Layer& layer,
                        uint32_t hw_version) {
  MappingStatus status = check_fully_connected(description, layer, hw_version);
  if (!status.ok()) return status;
  status = check_fnp_weight_range(layer);
  if (!status.ok()) return status;
  return check_fnp_weights_per_neuron(layer);
}

MappingStatus check_no_placement(const Layer&, const std::vector<hw::Component>&, uint32_t) {
  return {};
}

MappingStatus check_separable_placement(const Layer& layer,
                                        const std::vector<hw::Component>& components, uint32_t) {
  return check_multi_np_pooling(layer, components);
}

program::RecordPtr record_hrc(const Device& device, const Layer& layer, const PassPlacement&) {
  return record_input_convolutional(device, layer);
}

constexpr LayerTraits kLayerTraits[] = {
    {LayerType::InputData, Carrier::model_input},
    {LayerType::Quantizer, Carrier::host},
    {LayerType::Dequantizer, Carrier::host},
    {LayerType::InputConvolutional, Carrier::hrc, check_hrc, check_no_placement, record_hrc},
    {LayerType::FullyConnected, Carrier::fnp, check_fnp, check_no_placement,
     record_fully_connected},
    {LayerType::Convolutional, Carrier::cnp, check_convolutional, check_multi_np_convolution,
     record_convolutional},
    {LayerType::SeparableConvolutional, Carrier::cnp, check_separable_convolutional,
     check_separable_placement, record_separable_convolutional},
    {LayerType::Add, Carrier::other_generation},
};

}  // namespace

const LayerTraits* find_layer_traits(LayerType type) { return find_type_row(kLayerTraits, type); }

}  // namespace morla::v1
