#pragma once
// The IP v2 input DMA words and output register writes of a sequence.
#include <memory>

#include "core/device.h"
#include "contract/io_recorder.h"

namespace morla::v2 {

class IoRecorderImpl final : public IoRecorder {
 public:
  explicit IoRecorderImpl(std::shared_ptr<const Device> device) : device_(std::move(device)) {}

  // v2 reads input_on_hrc, output_narrow and the two shapes only.
  program::RecordPtr record_input(bool input_on_hrc, bool input_code_zero, bool last_on_hrc,
                                  bool output_code_zero, bool output_narrow,
                                  const Shape& input_dims, const Shape& output_dims) const override;
  // v2 reads the columns, the fixed value and last_on_hrc only.
  RegisterWrites output_registers(const std::shared_ptr<Layer>& layer, uint8_t first_column,
                                  uint8_t last_column, uint8_t fixed_value, bool last_on_hrc,
                                  bool multi_pass, bool input_code_zero) const override;
  uint8_t input_code(const std::shared_ptr<Layer>&) const override { return 0; }
  uint8_t output_code(const std::shared_ptr<Layer>&, uint8_t) const override { return 0; }

 private:
  std::shared_ptr<const Device> device_;
};

}  // namespace morla::v2
