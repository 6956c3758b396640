#pragma once
// The IP v1 input DMA program of a sequence, its output registers and its input and output
// codes.
#include <memory>

#include "contract/io_recorder.h"

namespace morla {
class Device;
}

namespace morla::v1 {

class IoRecorderImpl final : public IoRecorder {
 public:
  explicit IoRecorderImpl(std::shared_ptr<Device> device) : device_(std::move(device)) {}

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

}  // namespace morla::v1
