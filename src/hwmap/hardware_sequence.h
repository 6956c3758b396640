#pragma once
// A run of layers mapped on a hardware device: its passes and the device program that
// runs them. Programs the device when its program is not loaded, runs inference or
// learning, reads the learned values back, and unprograms the device when destroyed
// while its program is loaded.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "engine_api/sequence.h"
#include "contract/hardware_description.h"

namespace morla {

class Device;
class Layer;

class HardwareSequence final : public ForwardableSequence {
 public:
  HardwareSequence(std::shared_ptr<Device> device,
                   std::shared_ptr<const HardwareDescription> description,
                   std::vector<std::shared_ptr<Layer>> layers,
                   std::vector<std::shared_ptr<Pass>> passes, std::vector<uint8_t> program);
  ~HardwareSequence() override;
  HardwareSequence(const HardwareSequence&) = delete;
  HardwareSequence& operator=(const HardwareSequence&) = delete;

  const std::vector<std::shared_ptr<Pass>>& passes() const override { return passes_; }
  BackendType backend() const override { return BackendType::Hardware; }
  ByteRange program() const override { return {program_.data(), program_.size()}; }
  // program_info: the length word and the bytes it counts; program_data: the rest.
  ProgramParts program_parts() const override;
  // "HW/<first>" or "HW/<first>-<last>".
  std::string name() const override;
  // labels: int32 class labels, null for inference. Needs a device with hardware.
  TensorResults forward(const TensorList& inputs, const Tensor* labels) override;

  const std::vector<std::shared_ptr<Layer>>& layers() const { return layers_; }
  // Reads the learning layer's learned variables back from the device.
  void sync_learning_vars();

 private:
  std::shared_ptr<Device> device_;
  std::shared_ptr<const HardwareDescription> description_;
  std::vector<std::shared_ptr<Layer>> layers_;
  std::vector<std::shared_ptr<Pass>> passes_;
  std::vector<uint8_t> program_;
};

}  // namespace morla
