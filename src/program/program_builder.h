#pragma once
// Turns the NP programs a back end records for one sequence into the device program: a
// program-info buffer followed by a program-data buffer, both size-prefixed FlatBuffers.
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "engine_api/sequence.h"
#include "core/hw_version.h"
#include "core/shape.h"
#include "contract/graph_utils.h"
#include "contract/io_recorder.h"
#include "contract/layer_recorder.h"

namespace flatbuffers {
class FlatBufferBuilder;
}

namespace morla {

// The per-sequence values stored in the program info, as the sequence assembly computes
// them.
struct ProgramTables {
  std::string engine_version;  // empty: no version text
  Shape input_dims;
  Shape output_dims;
  uint8_t input_code = 0;
  uint8_t output_code = 0;
  uint8_t output_bits = 0;
  bool has_activation = false;
  uint32_t conv_word1 = 0;  // the HRC first layer's convolution words, else 0
  uint32_t conv_word0 = 0;
  std::vector<uint32_t> output_thresholds;
  std::vector<uint32_t> output_scales;
  uint8_t descriptors = 0;
  uint8_t input_bits = 0;
  bool input_signed = false;
  bool channels_first = false;
  std::vector<uint32_t> quantizer_scales;
  std::vector<uint8_t> quantizer_zero_points;
  bool mote_post_processing = false;
};

class ProgramBuilder {
 public:
  ProgramBuilder(const LayerRecorder& layer_recorder, const IoRecorder& io_recorder);
  ~ProgramBuilder();
  ProgramBuilder(const ProgramBuilder&) = delete;
  ProgramBuilder& operator=(const ProgramBuilder&) = delete;

  void set_hw_version(const HwVersion& version);
  // Records the sequence input into the current pass; returns the descriptor count, 1.
  uint8_t record_input(bool input_on_hrc, bool input_code_zero, bool last_on_hrc,
                       bool output_code_zero, bool output_narrow, const Shape& input_dims,
                       const Shape& output_dims);
  // Records one layer into the current pass; returns its number of word buffers.
  uint32_t record_layer(const LayerPtr& layer, const LayerPtr& first_layer,
                        const LayerPtr& next_pass_first, uint8_t first_of_pass,
                        uint8_t last_of_pass, const std::vector<hw::Ident>& skip_idents,
                        uint8_t handover, uint8_t recorder_flag);
  // Records the next pass's first layer with its second pass byte as its pass byte.
  uint32_t record_pass_handover(const LayerPtr& next_pass_first, const LayerPtr& first_layer,
                                const std::vector<hw::Ident>& pass_idents);
  // Records the learning programs of `layer`; returns the descriptor count of the two
  // learning switch records (modulo 256). A recorder failure is rethrown as
  // std::runtime_error "Cannot map layer '<name>'. Error: <what>.".
  uint8_t record_learning(const LayerPtr& layer, uint32_t first_of_pass);
  void record_output_registers(const LayerPtr& layer, uint8_t first_column, uint8_t last_column,
                               uint8_t fixed_value, bool last_on_hrc, bool multi_pass,
                               bool input_code_zero);
  void end_pass();
  // With true, the program data carries the pass-switch header words.
  void set_multi_pass(bool multi_pass);
  // Builds both buffers and replaces `program` with them.
  void rewrite_program_tables(const ProgramTables& tables, std::vector<uint8_t>& program,
                              const std::vector<std::shared_ptr<Sequence::Pass>>& passes);

 private:
  uint32_t add_record(const program::Record& record);

  std::unique_ptr<flatbuffers::FlatBufferBuilder> data_;
  std::unique_ptr<flatbuffers::FlatBufferBuilder> info_;
  std::optional<uint32_t> hw_version_;
  uint32_t learning_ = 0;
  std::vector<uint32_t> pass_offsets_;
  std::vector<uint32_t> current_pass_;
  RegisterWrites register_writes_;
  std::pair<uint32_t, uint32_t> header_words_{0, 0};
  bool finished_ = false;
  const LayerRecorder& layer_recorder_;
  const IoRecorder& io_recorder_;
};

}  // namespace morla
