#pragma once
// An IP generation's programming of a sequence's input DMA and output registers.
#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

#include "core/shape.h"
#include "contract/program_record.h"

namespace morla {

class Layer;

// {register byte offset, value}.
using RegisterWrites = std::vector<std::pair<uint32_t, uint32_t>>;

class IoRecorder {
 public:
  virtual ~IoRecorder() = default;
  // `input_dims`: the first mappable layer's input dims; `output_dims`: the last layer's.
  virtual program::RecordPtr record_input(bool input_on_hrc, bool input_code_zero, bool last_on_hrc,
                                          bool output_code_zero, bool output_narrow,
                                          const Shape& input_dims,
                                          const Shape& output_dims) const = 0;
  // `first_column`/`last_column`: the lowest and highest NP column of the passes' inputs.
  virtual RegisterWrites output_registers(const std::shared_ptr<Layer>& layer, uint8_t first_column,
                                          uint8_t last_column, uint8_t fixed_value,
                                          bool last_on_hrc, bool multi_pass,
                                          bool input_code_zero) const = 0;
  virtual uint8_t input_code(const std::shared_ptr<Layer>& layer) const = 0;
  virtual uint8_t output_code(const std::shared_ptr<Layer>& layer, uint8_t input_code) const = 0;
};

}  // namespace morla
