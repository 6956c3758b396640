#pragma once
// The IP v2 layer recorder: each layer type to its recorder. v2 has no on-chip learning.
#include <memory>

#include "core/device.h"
#include "contract/hardware_description.h"
#include "contract/layer_recorder.h"

namespace morla::v2 {

class LayerRecorderImpl final : public LayerRecorder {
 public:
  // The description must outlive the recorder.
  LayerRecorderImpl(std::shared_ptr<const Device> device, const HardwareDescription& description)
      : device_(std::move(device)), description_(&description) {}

  // `next_pass_first` is the companion layer whose mapping may hold the recorded NPs;
  // `first_of_pass` marks the NPs, `last_of_pass` is the point-to-point flag, `handover`
  // records registers only and `recorder_flag` selects the input format.
  program::RecordPtr record_layer(const std::shared_ptr<Layer>& layer,
                                  const std::shared_ptr<Layer>& first_layer,
                                  const std::shared_ptr<Layer>& next_pass_first,
                                  uint8_t first_of_pass, uint8_t last_of_pass,
                                  const std::vector<hw::Ident>& skip_idents, uint8_t handover,
                                  uint8_t recorder_flag) const override;
  // Both throw std::runtime_error "Learning not implemented on v2.".
  LearningRecords record_learning(const std::shared_ptr<Layer>& layer,
                                  uint32_t first_of_pass) const override;
  void sync_learning_vars(const std::shared_ptr<Layer>& layer) const override;

 private:
  std::shared_ptr<const Device> device_;
  const HardwareDescription* description_;
};

}  // namespace morla::v2
