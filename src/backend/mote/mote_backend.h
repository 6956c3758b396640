#pragma once
// The back end of the Mote edition: no CNP, FNP, HRC or skip DMA, one TNP-R that runs a
// chain of StatefulRecurrent layers. Layers on the TNP-R are checked, sized and recorded
// as a chain; the host-side layers (InputData, Dequantizer, Quantizer) pass with nothing
// to record.
#include <memory>

#include "core/device.h"
#include "contract/backend_parts.h"
#include "contract/hardware_description.h"

namespace morla::mote {

class CompatibilityCheckerImpl final : public CompatibilityChecker {
 public:
  // `description` is the factory's and outlives the checker.
  explicit CompatibilityCheckerImpl(const HardwareDescription* description);

  MappingStatus check_layer(const std::shared_ptr<Layer>& layer,
                            const std::shared_ptr<Layer>& inbound,
                            uint32_t hw_version) const override;
  MappingStatus check_sequence(const std::vector<std::shared_ptr<Layer>>& layers,
                               uint32_t hw_version) const override;
  MappingStatus check_np_mapping(const std::shared_ptr<Layer>& layer,
                                 const std::vector<hw::Component>& components,
                                 bool new_pass) const override;
  // The TNP-R is not split: the mapping never asks these of a Mote device, and they refuse.
  bool fits_single_buffer(hw::Type type, uint32_t height, uint32_t width, uint32_t channels,
                          uint32_t fifo_size, uint32_t input_bits,
                          uint32_t reserved_words) const override;
  bool fits_dual_buffer(hw::Type type, uint32_t height, uint32_t width, uint32_t channels,
                        uint32_t fifo_size, uint32_t input_bits,
                        uint32_t reserved_words) const override;
  bool fits_weights(const std::shared_ptr<Layer>& layer, uint32_t filters) const override;
  LayerGeometry layer_geometry(hw::Type type, const LayerParams& params) const override;
  bool fits_fnp3(const HardwareDescription& description,
                 const std::shared_ptr<Layer>& layer) const override;

 private:
  const HardwareDescription* description_;
};

// Sizes of the chain that starts at the given layer; the byte sizes of NP memories are 0.
class MemorySizerImpl final : public MemorySizer {
 public:
  uint32_t input_memory_size(const std::shared_ptr<Layer>& layer, const hw::Component& component,
                             const std::shared_ptr<Layer>& first_layer) const override;
  uint32_t weights_memory_size(const std::shared_ptr<Layer>& layer,
                               const hw::Component& component) const override;
  uint32_t external_memory_size(const std::shared_ptr<Layer>& layer, const hw::Component& component,
                                bool is_dual_store, bool several_passes) const override;
  uint32_t fsram_size(const std::shared_ptr<Layer>& layer) const override;
  uint32_t tsram_size(const std::shared_ptr<Layer>& layer) const override;
  uint32_t evsram_size(const std::shared_ptr<Layer>& layer) const override;
  uint32_t stsram_size(const std::shared_ptr<Layer>& layer) const override;
};

// The TNP-R has no input DMA or output registers to program.
class IoRecorderImpl final : public IoRecorder {
 public:
  explicit IoRecorderImpl(std::shared_ptr<Device> device);

  program::RecordPtr record_input(bool input_on_hrc, bool input_code_zero, bool last_on_hrc,
                                  bool output_code_zero, bool output_narrow,
                                  const Shape& input_dims, const Shape& output_dims) const override;
  RegisterWrites output_registers(const std::shared_ptr<Layer>& layer, uint8_t first_column,
                                  uint8_t last_column, uint8_t fixed_value, bool last_on_hrc,
                                  bool multi_pass, bool input_code_zero) const override;
  uint8_t input_code(const std::shared_ptr<Layer>& layer) const override;
  uint8_t output_code(const std::shared_ptr<Layer>& layer, uint8_t input_code) const override;

 private:
  std::shared_ptr<Device> device_;
};

class LayerRecorderImpl final : public LayerRecorder {
 public:
  explicit LayerRecorderImpl(std::shared_ptr<Device> device);

  // A StatefulRecurrent layer records its whole chain; InputData, Dequantizer and
  // Quantizer an empty record; any other type is refused.
  program::RecordPtr record_layer(const std::shared_ptr<Layer>& layer,
                                  const std::shared_ptr<Layer>& first_layer,
                                  const std::shared_ptr<Layer>& next_pass_first,
                                  uint8_t first_of_pass, uint8_t last_of_pass,
                                  const std::vector<hw::Ident>& skip_idents, uint8_t handover,
                                  uint8_t recorder_flag) const override;
  // The Mote edition does not learn on the chip.
  LearningRecords record_learning(const std::shared_ptr<Layer>& layer,
                                  uint32_t first_of_pass) const override;
  void sync_learning_vars(const std::shared_ptr<Layer>& layer) const override;

 private:
  std::shared_ptr<Device> device_;
};

// The four objects of the Mote back end.
BackendParts make_backend(const std::shared_ptr<Device>& device,
                          const HardwareDescription* description);

}  // namespace morla::mote
