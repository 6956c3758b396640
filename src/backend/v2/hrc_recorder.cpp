#include "backend/v2/hrc_recorder.h"

#include <stdexcept>
#include <string>

#include "backend/v2/built_records.h"
#include "backend/v2/layer_param.h"
#include "backend/v2/np_registers.h"
#include "backend/v2/tensor_packing.h"
#include "backend/v2/variable_access.h"
#include "core/enums.h"
#include "core/hw_version.h"
#include "core/register_field.h"
#include "contract/hrc_weights.h"
#include "contract/neuron_params.h"

namespace morla::v2 {

namespace {

constexpr hw::Ident kHrc{0, 0, 0, 0};
enum : uint32_t { kConfigBlock = 8, kMemoryData = 9 };
enum : uint16_t { kConfigField = 8, kSelectField = 32, kDataField = 40 };

uint32_t kernel_code(int kernel) {
  switch (kernel) {
    case 3: return 0;
    case 4: return 1;
    case 5: return 2;
    case 7: return 3;
    case 16: return 4;
    default: throw std::runtime_error("Wrong kernel size at HRC recording.");
  }
}

uint32_t output_code(uint32_t bits) {
  if (bits == 4) return 2;
  if (bits == 8) return 3;
  throw std::runtime_error("Wrong output bitwidth when programming HRC: " + std::to_string(bits) +
                           "-bit found\nonly 8-bit and 4-bit are supported.");
}

uint32_t non_negative(int value) { return value < 0 ? 0u : static_cast<uint32_t>(value); }

uint8_t padding_value_byte(const Tensor* values, size_t i) {
  if (!values || values->size() <= i) return 0;
  return values->data<uint8_t>()[i];
}

// Fields of the 5-word HRC configuration block (bits without a known meaning are named by
// their position).
constexpr BlockField kWord0Bit0{0, 0, 1};
constexpr BlockField kKernelCode{0, 4, 3};
constexpr BlockField kOutputCode{0, 8, 2};
constexpr BlockField kRelu{0, 10, 1};
constexpr BlockField kLutActivation{0, 11, 1};
constexpr BlockField kSingleChannel{0, 12, 1};
constexpr BlockField kValidPadding{0, 13, 1};
constexpr BlockField kWord0Bit14{0, 14, 1};
constexpr BlockField kWord0Bit15{0, 15, 1};
constexpr BlockField kPoolTypeRows{0, 16, 1};
constexpr BlockField kPoolTypeCols{0, 17, 1};
constexpr BlockField kWord0Bit20{0, 20, 1};
constexpr BlockField kWord0Bit21{0, 21, 1};
constexpr BlockField kPoolHeight{0, 24, 4};
constexpr BlockField kPoolWidth{0, 28, 4};
constexpr BlockField kStrideY{1, 0, 5};
constexpr BlockField kStrideX{1, 8, 5};
constexpr BlockField kPoolStrideY{1, 16, 4};
constexpr BlockField kPoolStrideX{1, 24, 4};
constexpr BlockField kPadLeft{3, 0, 2};
constexpr BlockField kPadRight{3, 4, 2};
constexpr BlockField kPadTop{3, 8, 2};
constexpr BlockField kPadBottom{3, 12, 2};
constexpr BlockField kFirstFilter{4, 0, 9};
constexpr BlockField kFilters{4, 16, 9};
// Byte b of word 2 (b = 0, 1, 2): the padding value of channel b.
constexpr RegisterField kPaddingByte{0, 8};

std::vector<uint32_t> hrc_config(const Layer& layer) {
  const auto activation = static_cast<ActivationType>(param(layer, "activation"));
  const uint32_t channels = layer.input_dims()[2];
  const auto padding_value = optional_variable(layer, "padding_value");
  const uint32_t* conv = conv_record(layer);
  std::vector<uint32_t> c(5, 0);
  set_register_field(c, kWord0Bit0, 1);
  set_register_field(c, kWord0Bit14, 0);
  set_register_field(c, kKernelCode, kernel_code(param(layer, "kernel_size")));
  set_register_field(c, kOutputCode, output_code(layer.output_bits() & 0xFF));
  set_register_field(c, kRelu, activation == ActivationType::ReLU);
  set_register_field(c, kLutActivation, activation == ActivationType::LUT);
  set_register_field(c, kWord0Bit15, activation == ActivationType::LUT);
  if (channels != 1 && channels != 3)
    throw std::runtime_error("Wrong number of channles at HRC recording.");
  set_register_field(c, kSingleChannel, channels == 1);
  const int padding = param(layer, "padding");
  if (padding < 0 || padding >= 3) throw std::runtime_error("Wrong padding at HRC recording.");
  const uint32_t valid = padding == static_cast<int>(Padding::Valid);
  set_register_field(c, kValidPadding, valid);
  set_register_field(c, kWord0Bit20, valid);
  set_register_field(c, kWord0Bit21, valid);
  const uint32_t pool_size = non_negative(param(layer, "pool_size"));
  set_register_field(c, kPoolHeight, pool_size);
  set_register_field(c, kPoolWidth, pool_size);
  const int pool_type = param(layer, "pool_type");
  if (pool_type < 0 || pool_type >= 2) throw std::runtime_error("Wrong pooling at HRC recording.");
  set_register_field(c, kPoolTypeRows, static_cast<uint32_t>(pool_type));
  set_register_field(c, kPoolTypeCols, static_cast<uint32_t>(pool_type));
  const auto stride = static_cast<uint32_t>(param(layer, "kernel_stride"));
  set_register_field(c, kStrideY, stride);
  set_register_field(c, kStrideX, stride);
  const uint32_t pool_stride = non_negative(param(layer, "pool_stride"));
  set_register_field(c, kPoolStrideY, pool_stride);
  set_register_field(c, kPoolStrideX, pool_stride);
  for (uint32_t i = 0; i < 3; ++i) {
    const RegisterField padding{kPaddingByte.shift + 8 * i, kPaddingByte.width};
    set_register_field(&c.at(2), &padding, padding_value_byte(padding_value.get(), i));
  }
  set_register_field(c, kPadLeft, conv[6]);
  set_register_field(c, kPadRight, conv[7]);
  set_register_field(c, kPadTop, conv[4]);
  set_register_field(c, kPadBottom, conv[5]);
  set_register_field(c, kFirstFilter, 0);
  set_register_field(c, kFilters, static_cast<uint32_t>(param(layer, "filters")));
  return c;
}

// A missing max_value or max_value_shift packs as 0.
std::vector<uint32_t> neuron_params(const Layer& layer) {
  const auto max_value = optional_variable(layer, "max_value");
  const auto max_value_shift = optional_variable(layer, "max_value_shift");
  return pack_neuron_params(*required_variable(layer, "output_shift"),
                            *required_variable(layer, "output_scales"), max_value_shift.get(),
                            max_value.get(), *required_variable(layer, "bias_shift"),
                            *required_variable(layer, "bias"));
}

std::vector<uint32_t> narrow_neuron_params(const Layer& layer) {
  return pack_neuron_params_narrow(
      *required_variable(layer, "output_scales"), *required_variable(layer, "bias"),
      *required_variable(layer, "bias_shift"), *required_variable(layer, "output_shift"),
      *required_variable(layer, "activation_shift"),
      *required_variable(layer, "activation_scales"));
}

}  // namespace

uint32_t hrc_weight_words(const Layer& layer) {
  uint32_t words = 0;
  for (const auto& lines : format_hrc_weights(*required_variable(layer, "weights")))
    words += static_cast<uint32_t>(lines.size());
  words += static_cast<uint32_t>(neuron_params(layer).size());
  return program::is_long_np_block(words) ? (words + 15) & ~15u : words;
}

void append_hrc_memory(program::Record& record, uint32_t selector_bit,
                       const std::vector<uint32_t>& words) {
  if (words.empty()) return;
  std::vector<uint32_t> select(2, 0);
  const RegisterField selector{selector_bit, 1};
  set_register_field(&select.at(0), &selector, 1);
  record.append_np_program(kHrc, kConfigBlock, kSelectField, select, true, true);
  record.append_np_program(kHrc, kMemoryData, kDataField, words, true, true);
}

program::RecordPtr record_input_conv2d(const Device& device, const Layer& layer) {
  const std::vector<uint32_t> config = hrc_config(layer);
  const auto lines = format_hrc_weights(*required_variable(layer, "weights"));
  const bool lut = layer.has_activation_type(ActivationType::LUT);
  const std::vector<uint32_t> neurons = lut ? narrow_neuron_params(layer) : neuron_params(layer);

  auto record = std::make_unique<program::Record>(version_word(device.version()));
  record->append_np_program(kHrc, kConfigBlock, kConfigField, config, true, true);
  for (uint32_t group = 0; group < 3 && group < lines.size(); ++group)
    append_hrc_memory(*record, group, lines[group]);
  if (lut)
    append_hrc_memory(*record, 29, pack_activation_lut(*required_variable(layer, "lut_values")));
  append_hrc_memory(*record, 31, neurons);
  // Closing writes: the configuration without its start bit, then a pulse.
  std::vector<uint32_t> word{config[0] & ~1u};
  record->append_np_program(kHrc, kConfigBlock, kConfigField, word, true, true);
  record->append_np_program(kHrc, kConfigBlock, 0, {1u}, true, true);
  record->append_np_program(kHrc, kConfigBlock, 0, {0u}, true, true);
  return record;
}

}  // namespace morla::v2
