#include "backend/mote/tnpr_recording.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <stdexcept>
#include <string>
#include <vector>

#include "backend/mote/tnpr_chain.h"
#include "backend/mote/tnpr_memory.h"
#include "engine_api/variables.h"
#include "core/register_field.h"
#include "contract/field_checks.h"
#include "contract/layer_mapping.h"
#include "contract/strided_view.h"

namespace morla::mote {

namespace {

constexpr uint32_t kMaxChainLayers = 8;
// Region starts in the configuration block count TSRAM words modulo 2^15.
constexpr uint32_t kRegionStartModulo = uint32_t{1} << 15;

// ---- Words
// ---------------------------------------------------------------------------------------

// FSRAM words (64-bit) and TSRAM entries (51-bit) are both stored as two 32-bit words, low
// half first.
void append_split(std::vector<uint32_t>& words, uint64_t value) {
  words.push_back(static_cast<uint32_t>(value));
  words.push_back(static_cast<uint32_t>(value >> 32));
}

// ---- Variables ---------------------------------------------------------------------------------

[[noreturn]] void refuse(const Layer& layer, const std::string& why) {
  throw std::runtime_error("Cannot record layer '" + layer.name() + "' on the TNP-R: " + why);
}

std::shared_ptr<const Dense> required_variable(const Layer& layer, const std::string& name) {
  if (!layer.variables().has(name)) refuse(layer, "it has no variable '" + name + "'.");
  return layer.variables().get(name);
}

// A per-channel variable; it must hold exactly the `count` values the chain's TSRAM size
// counts for it.
std::shared_ptr<const Dense> channel_variable(const Layer& layer, const std::string& name,
                                              uint32_t count) {
  auto value = required_variable(layer, name);
  if (value->size() != count)
    refuse(layer, "variable '" + name + "' holds " + std::to_string(value->size()) +
                      " values where the chain needs " + std::to_string(count) + ".");
  return value;
}

// ---- FSRAM -------------------------------------------------------------------------------------

// Per block of eight columns, one 64-bit word per row: byte j is column 8b + j (zero past
// the last column).
void append_matrix_image(std::vector<uint32_t>& image, const Dense& matrix) {
  const Shape shape = matrix.shape();
  const uint32_t rows = shape[0];
  const uint32_t columns = shape[1];
  if (columns == 0 || rows == 0) return;
  const StridedView<int8_t> at(matrix, matrix.strides(), {rows, columns, 1, 1});
  for (uint64_t block = 0; block < columns; block += 8) {
    const auto width = static_cast<uint32_t>(std::min<uint64_t>(8, columns - block));
    for (uint32_t row = 0; row < rows; ++row) {
      uint64_t word = 0;
      for (uint32_t j = 0; j < width; ++j)
        word |= uint64_t{static_cast<uint8_t>(at(row, static_cast<uint32_t>(block + j), 0, 0))}
                << (8 * j);
      append_split(image, word);
    }
  }
}

// ---- TSRAM -------------------------------------------------------------------------------------

struct TsramRegions {
  std::vector<uint64_t> state;
  std::vector<uint64_t> output;
  std::vector<uint64_t> input;
};

void append_state_entries(std::vector<uint64_t>& region, const Layer& layer) {
  const uint32_t n = unsigned_param(layer, "stateful_channels");
  const auto a_real = channel_variable(layer, "A_real", n);
  const auto a_imag = channel_variable(layer, "A_imag", n);
  const auto output_shift = channel_variable(layer, "internal_state_outputs_shift", n);
  const auto scale = channel_variable(layer, "new_state_scale", n);
  const auto shift = channel_variable(layer, "new_state_shift", n);
  for (uint32_t j = 0; j < n; ++j) {
    region.push_back(uint64_t{static_cast<uint16_t>(a_real->get<int16_t>(j))} |
                     uint64_t{static_cast<uint16_t>(a_imag->get<int16_t>(j))} << 16 |
                     uint64_t{signed_field(output_shift->get<int8_t>(j), 5)} << 32 |
                     uint64_t{scale->get<uint8_t>(j)} << 37 |
                     uint64_t{signed_field(shift->get<int8_t>(j), 6)} << 45);
  }
}

uint32_t scale_at(const Dense& scales, uint32_t j) {
  if (scales.type() == TensorType::uint16) return scales.get<uint16_t>(j);
  return scales.get<uint8_t>(j);
}

// `scales_owner` holds the scales and the shift: the layer itself, or the post-processing
// layer it feeds.
void append_output_entries(std::vector<uint64_t>& region, const Layer& layer,
                           const Layer& scales_owner, const char* scales_name,
                           const char* shift_name) {
  const uint32_t n = unsigned_param(layer, "output_channels");
  const auto scales = channel_variable(scales_owner, scales_name, n);
  if (scales->type() != TensorType::uint16 && scales->type() != TensorType::uint8)
    throw std::runtime_error(
        "Error when formattting output scale : Unsupported output scales type in TSRAM "
        "formatting.");
  const auto shift = channel_variable(scales_owner, shift_name, n);
  const auto bias = channel_variable(layer, "bias", n);
  const auto bias_shift = channel_variable(layer, "bias_shift", n);
  for (uint32_t j = 0; j < n; ++j) {
    const uint64_t shift_bits = signed_field(shift->get<int8_t>(j), 6);
    const uint64_t bias_shift_bits = unsigned_field(bias_shift->get<uint8_t>(j), 5);
    region.push_back(uint64_t{scale_at(*scales, j)} | shift_bits << 16 |
                     uint64_t{static_cast<uint8_t>(bias->get<int8_t>(j))} << 22 |
                     bias_shift_bits << 30);
  }
}

// Eight 3-bit shifts per entry for 8-bit input; four for 16-bit input, each written for
// both bytes of a value. Values are not masked; other widths leave the entries zero.
void append_input_shift_entries(std::vector<uint64_t>& region, const Layer& layer) {
  const uint32_t channels = input_channels(layer);
  const uint32_t bits = input_bit_width(layer);
  const auto shifts = channel_variable(layer, "input_shift", channels);
  const uint32_t per_entry = bits == 8 ? 8 : 4;
  for (uint32_t first = 0; first < channels; first += per_entry) {
    uint32_t entry = 0;
    uint32_t cursor = 0;
    for (uint32_t j = first; j < channels && j < first + per_entry; ++j) {
      const uint32_t value = shifts->get<uint8_t>(j);
      if (bits == 8) {
        entry |= value << cursor;
        cursor += 3;
      } else if (bits == 16) {
        entry |= value << cursor | value << (cursor + 3);
        cursor += 6;
      }
    }
    region.push_back(entry);
  }
}

// Unit scale, a right shift by log2(T) and the threshold.
uint64_t post_processing_entry(const Layer& layer) {
  const uint32_t timesteps = input_timesteps(layer);
  if (timesteps == 0) refuse(layer, "it has no timesteps.");
  const auto log2_steps = static_cast<int8_t>(std::log2(static_cast<double>(timesteps)));
  const uint16_t threshold = required_variable(layer, "threshold")->get<uint16_t>(0);
  return 1u | signed_field(-log2_steps, 6) << 16 | uint64_t{threshold} << 22;
}

// ---- Configuration
// -------------------------------------------------------------------------------

struct ChainTable {
  uint32_t length = 0;
  bool post_processing = false;
  const Layer* last_recurrent = nullptr;
  std::array<uint32_t, kMaxChainLayers> subsample{};
  std::array<uint32_t, kMaxChainLayers> output_channels{};
  std::array<uint32_t, kMaxChainLayers> input_channels{};
  uint32_t relu_flags = 0;
};

// Fields of the TNP-R configuration block.
constexpr BlockField kLastLayerIndex{0, 0, 3};
constexpr BlockField kPostProcessingOn{0, 17, 1};
constexpr BlockField kOutputIs16Bit{0, 18, 1};
constexpr BlockField kInputIs16Bit{0, 19, 1};
constexpr BlockField kPostProcessingOutput{0, 20, 1};
constexpr BlockField kReservedBit21{0, 21, 1};
constexpr BlockField kOutputAbove16Bit{0, 22, 1};
constexpr BlockField kPaddedRowWords{1, 0, 8};
constexpr BlockField kPostProcessingTimesteps{1, 8, 8};
constexpr BlockField kInputRegionStart{3, 0, 16};
constexpr BlockField kOutputRegionStart{3, 16, 16};
constexpr BlockField kRecurrentStateWords{4, 0, 16};
// Layer i's field is 2 i bits higher.
constexpr BlockField kSubsampleMinusOne{5, 0, 2};
constexpr BlockField kStateChannels{6, 0, 9};
// Two layers' channel counts per word: output channels from word 7, input channels from
// word 11.
constexpr BlockField kEvenLayerChannels{0, 0, 9};
constexpr BlockField kOddLayerChannels{0, 9, 9};
constexpr size_t kOutputChannelWords = 7;
constexpr size_t kInputChannelWords = 11;
constexpr BlockField kLastLayerMask{15, 0, 8};
constexpr BlockField kLastTwoLayersMask{15, 8, 8};
constexpr BlockField kReluFlags{15, 16, 8};

void set_channel_pairs(std::vector<uint32_t>& config, size_t first_word,
                       const std::array<uint32_t, kMaxChainLayers>& channels) {
  for (size_t k = 0; k < kMaxChainLayers / 2; ++k) {
    set_register_field(config, offset_field(kEvenLayerChannels, first_word + k), channels[2 * k]);
    set_register_field(config, offset_field(kOddLayerChannels, first_word + k),
                       channels[2 * k + 1]);
  }
}

std::vector<uint32_t> configuration_block(const Layer& start, const ChainTable& chain,
                                          const TsramRegions& tsram) {
  const uint32_t n = chain.length;
  const bool pp = chain.post_processing;
  const uint32_t output_width = pp ? 16 : output_bit_width(*chain.last_recurrent);
  const uint32_t state_channels = unsigned_param(start, "stateful_channels");
  const uint32_t state_start = static_cast<uint32_t>(tsram.state.size()) % kRegionStartModulo;
  const uint32_t output_size = static_cast<uint32_t>(tsram.output.size()) % kRegionStartModulo;

  std::vector<uint32_t> config(kTnprConfigWords, 0);
  set_register_field(config, kLastLayerIndex, n - 1);
  set_register_field(config, kPostProcessingOn, pp);
  set_register_field(config, kOutputIs16Bit, output_width == 16);
  set_register_field(config, kInputIs16Bit, input_bit_width(start) == 16);
  set_register_field(config, kPostProcessingOutput, pp);
  set_register_field(config, kReservedBit21, 0);
  set_register_field(config, kOutputAbove16Bit, output_width > 16);
  set_register_field(config, kPaddedRowWords, padded_row_words(start));
  set_register_field(config, kPostProcessingTimesteps, pp ? input_timesteps(start) : 0);
  set_register_field(config, kInputRegionStart, state_start + output_size);
  set_register_field(config, kOutputRegionStart, state_start);
  set_register_field(config, kRecurrentStateWords, pp ? state_channels * (n - 1) : 0);
  for (uint32_t i = 0; i < n; ++i)
    set_register_field(
        config,
        {kSubsampleMinusOne.word, kSubsampleMinusOne.shift + 2 * i, kSubsampleMinusOne.width},
        chain.subsample[i] - 1);
  set_register_field(config, kStateChannels, state_channels);
  set_channel_pairs(config, kOutputChannelWords, chain.output_channels);
  set_channel_pairs(config, kInputChannelWords, chain.input_channels);
  if (pp) {
    set_one_hot_field(config, kLastLayerMask, n - 1);
    set_register_field(config, kLastTwoLayersMask, 3u << (n - 2));
  }
  set_register_field(config, kReluFlags, chain.relu_flags);
  return config;
}

std::vector<uint32_t> tsram_image(const TsramRegions& tsram) {
  std::vector<uint32_t> image;
  image.reserve(2 * (tsram.state.size() + tsram.output.size() + tsram.input.size()));
  for (const auto* region : {&tsram.state, &tsram.output, &tsram.input})
    for (uint64_t entry : *region) append_split(image, entry);
  return image;
}

const hw::Ident& tnp_r_ident(const Layer& start) {
  const LayerMapping& mapping = require_layer_mapping(start);
  if (!mapping.nps || mapping.nps->empty()) throw std::out_of_range("invalid vector subscript");
  return mapping.nps->front().ident;
}

}  // namespace

program::RecordPtr record_stateful_recurrent(const Device& device,
                                             const std::shared_ptr<Layer>& start) {
  if (!is_stateful_recurrent(*start) || !on_tnp_r(*start))
    refuse(*start, "a chain starts at a StatefulRecurrent layer on the TNP-R.");
  auto record = std::make_unique<program::Record>(version_word(device.version()));

  ChainTable chain;
  std::vector<uint32_t> fsram;
  TsramRegions tsram;
  for (std::shared_ptr<Layer> layer = start; layer && on_tnp_r(*layer);
       layer = first_outbound(*layer)) {
    const uint32_t i = chain.length;
    if (i >= kMaxChainLayers) throw std::out_of_range("invalid bitset position");
    const auto next = first_outbound(*layer);
    if (is_stateful_recurrent(*layer)) {
      if (layer->has_activation_type(ActivationType::ReLU)) chain.relu_flags |= 1u << i;
      chain.subsample[i] = unsigned_param(*layer, "subsample");
      chain.output_channels[i] = unsigned_param(*layer, "output_channels");
      chain.input_channels[i] = input_channels(*layer);
      append_matrix_image(fsram, *required_variable(*layer, "in_proj"));
      append_matrix_image(fsram, *required_variable(*layer, "out_proj"));
      append_state_entries(tsram.state, *layer);
      if (next && layer_type(*next) == LayerType::MotePostProcessing)
        append_output_entries(tsram.output, *layer, *next, "input_scales", "input_shift");
      else
        append_output_entries(tsram.output, *layer, *layer, "output_scales", "output_shift");
      append_input_shift_entries(tsram.input, *layer);
      chain.last_recurrent = layer.get();
    } else {
      chain.post_processing = true;
      chain.subsample[i] = chain.output_channels[i] = chain.input_channels[i] = 1;
      tsram.output.push_back(post_processing_entry(*layer));
      tsram.input.push_back(0);
    }
    ++chain.length;
  }

  const hw::Ident& ident = tnp_r_ident(*start);
  record->append_np_program(ident, kTnprConfigBlock, 0, configuration_block(*start, chain, tsram),
                            false, false);
  record->append_np_program(ident, kFsramImageBlock, 0, fsram, false, false);
  record->append_np_program(ident, kTsramImageBlock, 0, tsram_image(tsram), false, false);
  return record;
}

}  // namespace morla::mote
