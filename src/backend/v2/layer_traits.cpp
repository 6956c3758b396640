#include "backend/v2/layer_traits.h"

#include "backend/v2/cnp_checks.h"
#include "backend/v2/cnp_recorder.h"
#include "backend/v2/cnp_weight_layout.h"
#include "backend/v2/fnp_recorder.h"
#include "backend/v2/fnp_sizes.h"
#include "backend/v2/hrc_checks.h"
#include "backend/v2/hrc_recorder.h"
#include "backend/v2/layer_param.h"
#include "backend/v2/merge_checks.h"
#include "backend/v2/tnp_b_checks.h"
#include "backend/v2/tnp_b_recorder.h"
#include "backend/v2/tnp_b_sizes.h"
#include "contract/layer_type_table.h"

namespace morla::v2 {

namespace {

using Description = HardwareDescription;

uint32_t uparam(const Layer& layer, const char* key) {
  return static_cast<uint32_t>(param(layer, key));
}
uint32_t channels(const Layer& layer) { return layer.input_dims()[2]; }

// A check that reads neither the description nor the inbound layer, or only the description.
template <MappingStatus (*Check)(const Layer&)>
MappingStatus layer_only(const Description&, const Layer& layer, const Layer*) {
  return Check(layer);
}
template <MappingStatus (*Check)(const Description&, const Layer&)>
MappingStatus with_description(const Description& d, const Layer& layer, const Layer*) {
  return Check(d, layer);
}

uint32_t filter_row(const Layer& l, uint32_t filters) {
  return ch_cont_size(uparam(l, "kernel_size"), filters, uparam(l, "weights_bits"));
}
uint32_t cnp_containers(const Layer& l, uint32_t filters) {
  return filter_row(l, filters) * channels(l);
}
uint32_t depthwise_cnp_containers(const Layer& l, uint32_t filters) {
  return depthwise_ch_cont_size(uparam(l, "kernel_size"), filters, uparam(l, "weights_bits"));
}
uint32_t tnp_b_containers(const Layer& l, uint32_t filters) {
  return tnp_b_weight_size(uparam(l, "fifo_size"), filters, channels(l));
}
uint32_t tnp_b_row(const Layer&, uint32_t filters) { return tnp_b_ch_cont_size(filters); }
uint32_t depthwise_tnp_b_containers(const Layer& l, uint32_t filters) {
  return depthwise_tnp_b_weight_size(uparam(l, "fifo_size"), filters);
}

template <program::RecordPtr (*Record)(const Device&, const Layer&, const RecorderFlags&)>
program::RecordPtr with_flags(const RecordRequest& r) {
  return Record(r.device, r.layer, r.flags);
}
program::RecordPtr record_hrc(const RecordRequest& r) {
  return record_input_conv2d(r.device, r.layer);
}
program::RecordPtr record_fnp(const RecordRequest& r) {
  return record_dense1d(r.device, r.description, r.layer, r.first_layer, r.flags);
}

constexpr LayerTraits kLayerTraits[] = {
    {LayerType::InputData, Carrier::model_input},
    {LayerType::Quantizer, Carrier::host},
    {LayerType::Dequantizer, Carrier::host},
    {LayerType::Add, Carrier::skip_dma, layer_only<check_add>},
    {LayerType::Concatenate, Carrier::skip_dma, layer_only<check_concatenate>},
    {LayerType::Conv2D, Carrier::cnp, with_description<check_conv2d>, cnp_containers, filter_row,
     with_flags<record_conv2d>},
    {LayerType::DepthwiseConv2D, Carrier::cnp, with_description<check_depthwise_conv2d>,
     depthwise_cnp_containers, depthwise_cnp_containers, with_flags<record_depthwise_conv2d>},
    {LayerType::Conv2DTranspose, Carrier::cnp, with_description<check_conv2d_transpose>,
     cnp_containers, filter_row, with_flags<record_conv2d_transpose>},
    {LayerType::DepthwiseConv2DTranspose, Carrier::cnp,
     with_description<check_depthwise_conv2d_transpose>, depthwise_cnp_containers,
     depthwise_cnp_containers, with_flags<record_depthwise_conv2d_transpose>},
    {LayerType::InputConv2D, Carrier::hrc, layer_only<check_input_conv2d>, nullptr, nullptr,
     record_hrc},
    {LayerType::BufferTempConv, Carrier::tnp_b, with_description<check_buffer_temp_conv>,
     tnp_b_containers, tnp_b_row, with_flags<record_buffer_temp_conv>},
    {LayerType::DepthwiseBufferTempConv, Carrier::tnp_b,
     with_description<check_depthwise_buffer_temp_conv>, depthwise_tnp_b_containers, nullptr,
     with_flags<record_depthwise_buffer_temp_conv>},
    {LayerType::Dense1D, Carrier::fnp, check_dense1d, nullptr, nullptr, record_fnp},
    {LayerType::StatefulRecurrent, Carrier::other_generation},
};

}  // namespace

const LayerTraits* find_layer_traits(LayerType type) { return find_type_row(kLayerTraits, type); }

}  // namespace morla::v2
