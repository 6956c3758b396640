#include "backend/v1/hrc_recording.h"

#include "backend/v1/block_types.h"
#include "backend/v1/field_fit.h"
#include "backend/v1/layer_access.h"
#include "backend/v1/register_block.h"
#include "core/device.h"
#include "engine_api/v1_layers.h"
#include "core/enums.h"
#include "ops/conversion.h"
#include "contract/hrc_weights.h"

namespace morla::v1 {

namespace {

constexpr uint16_t kConfigField = 8;
constexpr uint16_t kSelectField = 32;
constexpr uint16_t kDataField = 40;
constexpr RegisterField kWeightMemories[3] = {{0, 1}, {1, 1}, {2, 1}};
constexpr RegisterField kThresholdMemory{31, 1};
const hw::Ident kHrc{};

// Fields of the 8-word HRC configuration block (bits without a known meaning are named by
// their position).
constexpr BlockField kWord0Bit0{0, 0, 1};
constexpr BlockField kKernelCode{0, 4, 2};
constexpr BlockField kActBitsHalf{0, 8, 2};
constexpr BlockField kNotThreeChannels{0, 12, 1};
constexpr BlockField kValidPadding{0, 13, 1};
constexpr BlockField kMaxPoolHeight2{0, 16, 1};
constexpr BlockField kMaxPoolWidth2{0, 17, 1};
constexpr BlockField kWord0Bit20{0, 20, 1};
constexpr BlockField kWord0Bit21{0, 21, 1};
constexpr BlockField kStrideY{1, 0, 3};
constexpr BlockField kStrideX{1, 4, 3};
constexpr BlockField kPadLeft{3, 0, 3};
constexpr BlockField kPadRight{3, 4, 3};
constexpr BlockField kPadTop{3, 8, 3};
constexpr BlockField kPadBottom{3, 12, 3};
constexpr BlockField kFirstFilter{4, 0, 9};
constexpr BlockField kLastFilter{4, 16, 9};
// Byte b of word 2 (b = 0, 1, 2): the padding value.
constexpr RegisterField kPaddingByte{0, 8};

std::vector<uint32_t> hrc_configuration(const InputConvolutional& layer) {
  const auto p = [&](const char* key) { return param(layer, key); };
  const bool valid = p("padding") == static_cast<int>(Padding::Valid);
  const bool max_pool = p("pool_type") == static_cast<int>(PoolType::Max);
  const int kernel = p("kernel_height");
  const auto padding_value = static_cast<uint32_t>(p("padding_value"));
  const uint32_t* conv = layer.conv_record();

  std::vector<uint32_t> config(8, 0);
  set_register_field(config, kWord0Bit0, 1);
  set_register_field(config, kNotThreeChannels, p("input_channels") != 3);
  set_register_field(config, kValidPadding, valid);
  set_register_field(config, kStrideY, static_cast<uint32_t>(p("stride_y")));
  set_register_field(config, kStrideX, static_cast<uint32_t>(p("stride_x")));
  set_register_field(config, kMaxPoolHeight2, max_pool && p("pooling_height") == 2);
  set_register_field(config, kMaxPoolWidth2, max_pool && p("pooling_width") == 2);
  set_register_field(config, kWord0Bit20, valid);
  set_register_field(config, kWord0Bit21, valid);
  set_register_field(config, kKernelCode, kernel == 7 ? 2 : kernel == 5 ? 1 : 0);
  set_register_field(config, kFirstFilter, 0);
  set_register_field(config, kLastFilter, static_cast<uint32_t>(p("filters") - 1));
  set_register_field(config, kActBitsHalf, static_cast<uint32_t>(p("act_bits") >> 1));
  for (uint32_t byte = 0; byte < 3; ++byte) {
    const RegisterField padding{kPaddingByte.shift + 8 * byte, kPaddingByte.width};
    set_register_field(&config.at(2), &padding, padding_value);
  }
  set_register_field(config, kPadBottom, conv[5]);
  set_register_field(config, kPadTop, conv[4]);
  set_register_field(config, kPadLeft, conv[6]);
  set_register_field(config, kPadRight, conv[7]);
  return config;
}

std::vector<uint32_t> layer_threshold_words(const Layer& layer) {
  return pack_hrc_threshold_words(*variable(layer, "threshold"),
                                  *float_to_fixed_q4(*variable(layer, "act_step")));
}

}  // namespace

std::vector<uint32_t> pack_hrc_threshold_words(const Dense& threshold, const Dense& act_step) {
  const size_t neurons = threshold.size();
  std::vector<uint32_t> words(2 * neurons, 0);
  for (size_t i = 0; i < neurons; ++i) {
    words[2 * i] = fit_signed(threshold.get<int32_t>(i), 24);
    words[2 * i + 1] = static_cast<uint32_t>(act_step.get<int32_t>(i));
  }
  return words;
}

void append_hrc_memory_block(program::Record& record, const RegisterField& select,
                             const std::vector<uint32_t>& words) {
  if (words.empty()) return;
  std::vector<uint32_t> selection = {0, 0};
  set_register_field(&selection[0], &select, 1);
  record.append_np_program(kHrc, block::kDirect, kSelectField, selection, true, true);
  record.append_np_program(kHrc, block::kHrcMemory, kDataField, words, true, true);
}

uint32_t hrc_weight_words(const Layer& layer) {
  uint32_t words = static_cast<uint32_t>(layer_threshold_words(layer).size());
  for (const auto& memory : format_hrc_weights(*variable(layer, "weights")))
    words += static_cast<uint32_t>(memory.size());
  return program::is_long_np_block(words) ? (words + 15) & ~15u : words;
}

program::RecordPtr record_input_convolutional(const Device& device, const Layer& layer) {
  const auto& hrc = as_engine_type<InputConvolutional>(layer);
  auto record = std::make_unique<program::Record>(version_word(device.version()));
  const std::vector<uint32_t> config = hrc_configuration(hrc);
  record->append_np_program(kHrc, block::kDirect, kConfigField, config, true, true);

  const auto memories = format_hrc_weights(*variable(hrc, "weights"));
  for (size_t m = 0; m < memories.size() && m < 3; ++m)
    append_hrc_memory_block(*record, kWeightMemories[m], memories[m]);
  append_hrc_memory_block(*record, kThresholdMemory, layer_threshold_words(hrc));

  // The three control words that close the program: configuration word 0 without bit 0,
  // then 1, then 0.
  record->append_np_program(kHrc, block::kDirect, kConfigField, {config[0] & ~1u}, true, true);
  record->append_np_program(kHrc, block::kDirect, 0, {1u}, true, true);
  record->append_np_program(kHrc, block::kDirect, 0, {0u}, true, true);
  return record;
}

}  // namespace morla::v1
