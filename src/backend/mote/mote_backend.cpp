#include "backend/mote/mote_backend.h"

#include <stdexcept>
#include <string>

#include "backend/mote/stateful_checks.h"
#include "backend/mote/tnpr_chain.h"
#include "backend/mote/tnpr_memory.h"
#include "backend/mote/tnpr_recording.h"

namespace morla::mote {

namespace {

// The layers the host handles around the TNP-R chain.
bool is_host_layer(LayerType type) {
  return type == LayerType::InputData || type == LayerType::Dequantizer ||
         type == LayerType::Quantizer;
}

[[noreturn]] void refuse(const char* message) { throw std::runtime_error(message); }

}  // namespace

// ---- CompatibilityCheckerImpl -------------------------------------------------------------------

CompatibilityCheckerImpl::CompatibilityCheckerImpl(const HardwareDescription* description)
    : description_(description) {}

MappingStatus CompatibilityCheckerImpl::check_layer(const std::shared_ptr<Layer>& layer,
                                                    const std::shared_ptr<Layer>&, uint32_t) const {
  if (on_tnp_r(*layer)) return check_stateful_model(*description_, layer);
  if (is_host_layer(layer_type(*layer))) return {};
  return make_mapping_status(layer, "Unsupported layer type on Mote.");
}

MappingStatus CompatibilityCheckerImpl::check_sequence(const std::vector<std::shared_ptr<Layer>>&,
                                                       uint32_t) const {
  return {};
}

MappingStatus CompatibilityCheckerImpl::check_np_mapping(const std::shared_ptr<Layer>&,
                                                         const std::vector<hw::Component>&,
                                                         bool) const {
  return {};
}

bool CompatibilityCheckerImpl::fits_single_buffer(hw::Type, uint32_t, uint32_t, uint32_t, uint32_t,
                                                  uint32_t, uint32_t) const {
  refuse("No single buffer mode on Mote.");
}

bool CompatibilityCheckerImpl::fits_dual_buffer(hw::Type, uint32_t, uint32_t, uint32_t, uint32_t,
                                                uint32_t, uint32_t) const {
  refuse("No dual buffer mode on Mote.");
}

bool CompatibilityCheckerImpl::fits_weights(const std::shared_ptr<Layer>&, uint32_t) const {
  refuse("No NP on Mote.");
}

LayerGeometry CompatibilityCheckerImpl::layer_geometry(hw::Type, const LayerParams&) const {
  refuse("Cannot split TNP-R.");
}

bool CompatibilityCheckerImpl::fits_fnp3(const HardwareDescription&,
                                         const std::shared_ptr<Layer>&) const {
  refuse("No FNP3 on Mote.");
}

// ---- MemorySizerImpl ----------------------------------------------------------------------------

uint32_t MemorySizerImpl::input_memory_size(const std::shared_ptr<Layer>&, const hw::Component&,
                                            const std::shared_ptr<Layer>&) const {
  return 0;
}

uint32_t MemorySizerImpl::weights_memory_size(const std::shared_ptr<Layer>&,
                                              const hw::Component&) const {
  return 0;
}

uint32_t MemorySizerImpl::external_memory_size(const std::shared_ptr<Layer>&, const hw::Component&,
                                               bool, bool) const {
  return 0;
}

uint32_t MemorySizerImpl::fsram_size(const std::shared_ptr<Layer>& layer) const {
  return fsram_words(layer);
}

uint32_t MemorySizerImpl::tsram_size(const std::shared_ptr<Layer>& layer) const {
  return tsram_words(layer);
}

uint32_t MemorySizerImpl::evsram_size(const std::shared_ptr<Layer>& layer) const {
  return evsram_words(layer);
}

uint32_t MemorySizerImpl::stsram_size(const std::shared_ptr<Layer>& layer) const {
  return stsram_words(layer);
}

// ---- IoRecorderImpl -----------------------------------------------------------------------------

IoRecorderImpl::IoRecorderImpl(std::shared_ptr<Device> device) : device_(std::move(device)) {}

program::RecordPtr IoRecorderImpl::record_input(bool, bool, bool, bool, bool, const Shape&,
                                                const Shape&) const {
  return std::make_unique<program::Record>(version_word(device_->version()));
}

RegisterWrites IoRecorderImpl::output_registers(const std::shared_ptr<Layer>&, uint8_t, uint8_t,
                                                uint8_t, bool, bool, bool) const {
  return {};
}

uint8_t IoRecorderImpl::input_code(const std::shared_ptr<Layer>&) const { return 0; }

uint8_t IoRecorderImpl::output_code(const std::shared_ptr<Layer>&, uint8_t) const { return 0; }

// ---- LayerRecorderImpl --------------------------------------------------------------------------

LayerRecorderImpl::LayerRecorderImpl(std::shared_ptr<Device> device) : device_(std::move(device)) {}

program::RecordPtr LayerRecorderImpl::record_layer(const std::shared_ptr<Layer>& layer,
                                                   const std::shared_ptr<Layer>&,
                                                   const std::shared_ptr<Layer>&, uint8_t, uint8_t,
                                                   const std::vector<hw::Ident>&, uint8_t,
                                                   uint8_t) const {
  const LayerType type = layer_type(*layer);
  if (is_host_layer(type))
    return std::make_unique<program::Record>(version_word(device_->version()));
  if (type == LayerType::StatefulRecurrent) return record_stateful_recurrent(*device_, layer);
  throw std::runtime_error(
      "Unsupported layer type on mote: " + std::to_string(static_cast<int32_t>(type)) + ".");
}

LearningRecords LayerRecorderImpl::record_learning(const std::shared_ptr<Layer>&, uint32_t) const {
  refuse("Learning not implemented on mote.");
}

void LayerRecorderImpl::sync_learning_vars(const std::shared_ptr<Layer>&) const {
  refuse("Learning not implemented on mote.");
}

// ---- Factory ------------------------------------------------------------------------------------

BackendParts make_backend(const std::shared_ptr<Device>& device,
                          const HardwareDescription* description) {
  BackendParts parts;
  parts.checker = std::make_unique<CompatibilityCheckerImpl>(description);
  parts.sizer = std::make_unique<MemorySizerImpl>();
  parts.io_recorder = std::make_unique<IoRecorderImpl>(device);
  parts.layer_recorder = std::make_unique<LayerRecorderImpl>(device);
  return parts;
}

}  // namespace morla::mote
