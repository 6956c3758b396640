#pragma once
// The IP v1 NP programs of one mapped layer, its learning programs and the read-back of its
// learned variables.
#include <memory>

#include "contract/layer_recorder.h"

namespace morla {
class Device;
struct HardwareDescription;
}  // namespace morla

namespace morla::v1 {

class LayerRecorderImpl final : public LayerRecorder {
 public:
  LayerRecorderImpl(std::shared_ptr<Device> device, const HardwareDescription* description)
      : device_(std::move(device)), description_(description) {}

  program::RecordPtr record_layer(const std::shared_ptr<Layer>& layer,
                                  const std::shared_ptr<Layer>& first_layer,
                                  const std::shared_ptr<Layer>& next_pass_first,
                                  uint8_t first_of_pass, uint8_t last_of_pass,
                                  const std::vector<hw::Ident>& skip_idents, uint8_t handover,
                                  uint8_t recorder_flag) const override;
  LearningRecords record_learning(const std::shared_ptr<Layer>& layer,
                                  uint32_t first_of_pass) const override;
  void sync_learning_vars(const std::shared_ptr<Layer>& layer) const override;

 private:
  std::shared_ptr<Device> device_;
  const HardwareDescription* description_;
};

}  // namespace morla::v1
