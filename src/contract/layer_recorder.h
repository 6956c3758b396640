#pragma once
// An IP generation's NP programs of one mapped layer, its on-chip learning programs, and
// the read-back of learned variables.
#include <array>
#include <cstdint>
#include <memory>
#include <vector>

#include "core/hw_ident.h"
#include "contract/program_record.h"

namespace morla {

class Layer;

// What a learning layer records: the register block with learning on, the register block
// with learning off, the learning image; and the layer's weight memory in 32-bit words.
struct LearningRecords {
  std::array<program::RecordPtr, 3> records;
  uint32_t weight_words = 0;
};

class LayerRecorder {
 public:
  virtual ~LayerRecorder() = default;
  // `first_layer`: the sequence's first mappable layer; `next_pass_first`: the next pass's
  // first mappable layer (empty for the last pass); `skip_idents`: NPs to leave out;
  // `handover`: 1 while recording a pass hand-over; `recorder_flag`: set by the sequence
  // assembly for a v2 layer feeding a TNP-B or an FNP with a narrow input.
  virtual program::RecordPtr record_layer(const std::shared_ptr<Layer>& layer,
                                          const std::shared_ptr<Layer>& first_layer,
                                          const std::shared_ptr<Layer>& next_pass_first,
                                          uint8_t first_of_pass, uint8_t last_of_pass,
                                          const std::vector<hw::Ident>& skip_idents,
                                          uint8_t handover, uint8_t recorder_flag) const = 0;
  virtual LearningRecords record_learning(const std::shared_ptr<Layer>& layer,
                                          uint32_t first_of_pass) const = 0;
  virtual void sync_learning_vars(const std::shared_ptr<Layer>& layer) const = 0;
};

}  // namespace morla
