#include "backend/v2/fnp_recorder.h"

#include <stdexcept>
#include <string>

#include "backend/v2/fnp_sizes.h"
#include "backend/v2/layer_param.h"
#include "backend/v2/np_fields.h"
#include "backend/v2/np_links.h"
#include "backend/v2/tensor_packing.h"
#include "backend/v2/variable_access.h"
#include "backend/v2/weight_reader.h"
#include "core/hw_version.h"
#include "contract/fnp_input_size.h"
#include "contract/layer_mapping.h"
#include "contract/strided_view.h"

namespace morla::v2 {

namespace {

enum BlockType : uint32_t { kInputShift = 2, kFnp3Weights = 6, kRegisters = 7 };
// Weight-memory field of an FNP2, whose weights are external.
constexpr uint32_t kFnp2WeightField = 5;

uint32_t ceil_div(uint32_t a, uint32_t b) { return (a + b - 1) / b; }
uint32_t round_up(uint32_t a, uint32_t m) { return ceil_div(a, m) * m; }

[[noreturn]] void unsupported_padding() { throw std::runtime_error("Unsupported padding."); }

// Padding of the byte-run layout (mode 2): inputs that pad an x-run to a byte, the inputs of
// one row, and the inputs that pad a row to a word.
struct RunPadding {
  uint32_t p8, run, p32;
};

RunPadding run_padding(uint32_t x, uint32_t c, uint32_t bits) {
  if (bits == 0 || bits > 8) throw std::runtime_error("Unsupported padding.");
  const uint32_t per_byte = 8 / bits, per_word = 32 / bits;
  const uint32_t p8 = ((x * bits / 8 + 1) * per_byte - x) % per_byte;
  const uint32_t run = (x + p8) * c;
  const uint32_t p32 = ((run * bits / 32 + 1) * per_word - run) % per_word;
  return {p8, run, p32};
}

// Bytes to the next multiple of 4 after q bytes.
uint32_t pad_to_word(uint32_t q) {
  if (q > 0xFFFFFFFCu)
    throw std::runtime_error("Error when formatting the FNP inputs, the padding is undefined.");
  return round_up(q, 4) - q;
}

uint32_t even(uint32_t words) { return (words + 1) & ~1u; }

// Writes values of `bits` bits into a word image at a bit cursor, refusing to pass its end.
class BitWriter {
 public:
  BitWriter(std::vector<uint32_t>& image, size_t first_bit, size_t end_bit)
      : image_(image), bit_(first_bit), end_(end_bit) {}
  void put(uint32_t value, uint32_t bits) {
    if (bit_ + bits > end_) throw std::runtime_error("The FNP image is too small for its layout.");
    const uint32_t mask = (1u << bits) - 1;
    image_[bit_ / 32] |= (value & mask) << (bit_ % 32);
    bit_ += bits;
  }
  void skip(size_t bits) { bit_ += bits; }
  void align_byte() { bit_ = (bit_ + 7) & ~size_t{7}; }

 private:
  std::vector<uint32_t>& image_;
  size_t bit_;
  size_t end_;
};

uint32_t width_code(uint32_t bits) { return bits == 4 ? 2 : 3; }

void record_fnp_fields(NpRegisters& b, const HardwareDescription& description, const Layer& layer,
                       const hw::Component& np, const Shape& s, uint32_t mode) {
  const uint32_t ib = layer.input_bits() & 0xFF, ob = layer.output_bits() & 0xFF;
  const auto wb = static_cast<uint32_t>(param(layer, "weights_bits"));
  const uint32_t x = s[0], y = s[1], c = s[2];
  const bool fnp3 = np.type == hw::Type::FNP3;
  const uint32_t row_bytes = mode == 3   ? round_up(ceil_div(ib * x, 8), 4)
                             : mode == 2 ? ceil_div(ib * x, 8)
                                         : 0;
  const auto weights = required_variable(layer, "weights");
  set_register_field(b, reg::kFnpBlock, 1);
  set_register_field(b, reg::kLutActivation, 0);
  set_register_field(b, reg::kSingleBuffer, np.np_block && np.np_block->single_buffer);
  set_register_field(b, reg::kFnp3, fnp3);
  if (ib != 4 && ib != 8) throw std::runtime_error("Wrong input_bits at FNP recording.");
  set_register_field(b, reg::kInputWidthCode, width_code(ib));
  if (wb != 4 && wb != 8) throw std::runtime_error("Wrong weight bitwidth at FNP recording.");
  set_register_field(b, reg::kWeightWidthCode, width_code(wb));
  set_register_field(b, reg::kWeights4Bit, 0);
  set_register_field(b, reg::kWeights8Bit, 1);
  if (ob != 4 && (ob < 8 || ob > 32))
    throw std::runtime_error("Wrong output bitwidth at FNP recording.");
  set_register_field(b, reg::kOutputWidthCode, width_code(ob));
  set_register_field(b, reg::kUnclippedOutput, !layer.has_activation() && ob < 9);
  set_register_field(b, reg::kRelu, layer.has_activation());
  set_register_field(b, reg::kNpCount, 1);
  set_register_field(b, reg::kWindowHeight, y);
  set_register_field(b, reg::kWindowWidth, x);
  set_register_field(b, reg::kChannelWeightSize, row_bytes);
  set_register_field(b, reg::kRowBytes, row_bytes);
  set_register_field(b, reg::kChannelRowWords, ceil_div(row_bytes * c, 4));
  set_register_field(b, reg::kFnpInputWords, fnp_input_words_of(x, y, c, ib, mode));
  set_register_field(b, reg::kWord14Bit30, 0);
  set_register_field(b, reg::kWord14Bit31, 1);
  set_register_field(b, reg::kWord14Bit29, 1);
  set_register_field(b, reg::kFnpInputs, weights->shape()[1]);
  set_register_field(b, reg::kFnpNeuronWords, fnp_neuron_words(s, mode, ib, wb));
  set_register_field(b, reg::kWord16Bits0To17, 0);
  uint32_t weight_field = kFnp2WeightField;
  if (fnp3) {
    const uint32_t units = description[HardwareDescription::weight_units];
    if (units == 0)
      throw std::runtime_error("Layer '" + layer.name() +
                               "' cannot be recorded on an FNP3 of a "
                               "device without weight memory.");
    weight_field = fnp_weight_words_of(*weights, wb, s, mode, ib) % units;
  }
  set_register_field(b, reg::kFnpWeightField, weight_field);
  set_register_field(b, reg::kFnpWeightKind, fnp3);
  set_register_field(b, reg::kLearning, 0);
}

}  // namespace

std::vector<uint32_t> format_fnp_input_shift(const Tensor& input_shift, const Shape& s,
                                             uint32_t mode, uint32_t ib) {
  const uint32_t x = s[0], y = s[1], c = s[2];
  // Every shift of the input is read, once, in modes 2 and 3.
  const auto shifts = [&] { return checked_elements<uint8_t>(input_shift, size_t{x} * y * c); };
  const uint8_t* shift = nullptr;
  const auto value = [&](uint32_t i, uint32_t j, uint32_t k) {
    return shift[(size_t{i} * y + j) * c + k];
  };
  std::vector<uint32_t> words;
  size_t byte = 0;
  switch (mode) {
    case 1: return copy_tensor_bytes(input_shift);
    case 2: {
      const RunPadding pad = run_padding(x, c, ib);
      words.assign(even(ceil_div((pad.run + pad.p32) * y, 4)), 0);
      shift = shifts();
      for (uint32_t j = 0; j < y; ++j) {
        for (uint32_t k = 0; k < c; ++k) {
          for (uint32_t i = 0; i < x; ++i) put_byte(words, byte++, value(i, j, k));
          byte += pad.p8;
        }
        byte += pad.p32;
      }
      return words;
    }
    case 3: {
      const uint32_t gap = pad_to_word(ceil_div(ib * x, 8));
      words.assign(even(fnp_input_words_of(x, y, c, ib, 3)), 0);
      shift = shifts();
      for (uint32_t j = 0; j < y; ++j)
        for (uint32_t k = 0; k < c; ++k) {
          for (uint32_t i = 0; i < x; ++i) put_byte(words, byte++, value(i, j, k));
          byte += gap;
        }
      return words;
    }
    default: unsupported_padding();
  }
}

std::vector<uint32_t> format_fnp_weights(const Layer& layer, bool flatten, uint32_t mode,
                                         uint32_t ib, uint32_t wb) {
  const Shape s = fnp_input_shape(layer, flatten);
  const uint32_t x = s[0], y = s[1], c = s[2];
  const uint32_t per_neuron = fnp_neuron_words(s, mode, ib, wb);
  const auto weights = required_variable(layer, "weights");
  const auto bias = required_variable(layer, "bias");
  const auto bias_shift = required_variable(layer, "bias_shift");
  const auto output_scales = required_variable(layer, "output_scales");
  const auto output_shift = required_variable(layer, "output_shift");
  const auto max_value = optional_variable(layer, "max_value");
  const auto max_value_shift = optional_variable(layer, "max_value_shift");
  if ((max_value == nullptr) != (max_value_shift == nullptr))
    throw std::runtime_error("Layer '" + layer.name() +
                             "' has only one of the variables 'max_value' and 'max_value_shift'.");
  if (weights->shape().size() != 2)
    throw std::runtime_error("Dense1D weights must have two dimensions.");
  const uint32_t neurons = weights->shape()[1];
  // Inputs 0 .. x * y * c - 1 of every neuron, in each input layout.
  const bool known_mode = mode >= 1 && mode <= 3;
  const StridedView<int8_t> w(*weights, weights->strides(),
                              {known_mode ? x * y * c : 0, neurons, 1, 1});
  const auto weight = [&](uint32_t input, uint32_t n) {
    return static_cast<uint8_t>(w(input, n, 0, 0));
  };
  const auto byte_of = [](const Dense& t, uint32_t n) {
    check_tensor_index(t, n);
    return static_cast<const uint8_t*>(t.buffer().data())[n];
  };
  check_tensor_type<int8_t>(*bias);
  check_tensor_type<uint8_t>(*bias_shift);
  check_tensor_type<uint8_t>(*output_scales);
  check_tensor_type<int8_t>(*output_shift);
  if (max_value) check_tensor_type<uint8_t>(*max_value);
  if (max_value_shift) check_tensor_type<uint8_t>(*max_value_shift);

  std::vector<uint32_t> image(size_t{per_neuron} * neurons, 0);
  for (uint32_t n = 0; n < neurons; ++n) {
    const size_t base = size_t{n} * per_neuron;
    uint32_t& params = image[base];
    params = byte_of(*bias, n) | uint32_t{byte_of(*bias_shift, n)} << 8;
    if (max_value)
      params |= uint32_t{byte_of(*max_value, n)} << 16 | uint32_t{byte_of(*max_value_shift, n)}
                                                             << 24;
    image[base + 1] = byte_of(*output_scales, n) | uint32_t{byte_of(*output_shift, n)} << 8;
    BitWriter out(image, (base + 2) * 32, (base + per_neuron) * 32);
    switch (mode) {
      case 3: {
        const uint32_t gap = pad_to_word(ceil_div(ib * x, 8));
        for (uint32_t t = 0; t < y * c; ++t) {
          for (uint32_t i = 0; i < x; ++i) out.put(weight(i * y * c + t, n), 8);
          out.skip(size_t{8} * gap);
        }
        break;
      }
      case 2: {
        const RunPadding pad = run_padding(x, c, ib);
        for (uint32_t j = 0; j < y; ++j) {
          for (uint32_t k = 0; k < c; ++k) {
            for (uint32_t i = 0; i < x; ++i) out.put(weight((i * y + j) * c + k, n), wb);
            if (pad.p8 != 0) out.align_byte();
          }
          out.skip(size_t{pad.p32} * wb);
        }
        break;
      }
      case 1:
        for (uint32_t i = 0; i < x * y * c; ++i) out.put(weight(i, n), wb);
        break;
      default: unsupported_padding();
    }
  }
  return image;
}

program::RecordPtr record_dense1d(const Device& device, const HardwareDescription& description,
                                  const Layer& layer, const std::shared_ptr<Layer>& pass_layer,
                                  const RecorderFlags& flags) {
  const bool flatten = pass_layer.get() == &layer;
  const Shape s = fnp_input_shape(layer, flatten);
  const auto input_shift = required_variable(layer, "input_shift");
  const LayerMapping& m = require_layer_mapping(layer);
  const LayerLinks links = layer_links(m);
  if (!m.nps || m.nps->empty())
    throw std::out_of_range("Layer '" + layer.name() + "' is mapped on no NP.");
  const hw::Component& np = m.nps->front();
  const uint32_t ib = layer.input_bits() & 0xFF;
  const auto wb = static_cast<uint32_t>(param(layer, "weights_bits"));
  const uint32_t mode = fnp_input_size(layer, flatten);

  auto record = std::make_unique<program::Record>(version_word(device.version()));
  if (is_skipped(flags, np.ident)) return record;
  NpRegisters block = init_np_registers(np, m.order, flags.registers_only, 0);
  record_fnp_fields(block, description, layer, np, s, mode);
  record_np_links(block, m, links, np, flags);
  record->append_np_program(np.ident, kRegisters, 0, block, true, true);
  record->append_np_program(np.ident, kInputShift, 0,
                            format_fnp_input_shift(*input_shift, s, mode, ib), true, true);
  if (!flags.registers_only) {
    const auto image = format_fnp_weights(layer, flatten, mode, ib, wb);
    if (np.type == hw::Type::FNP2)
      record->set_external_block(program::ident_key(np.ident), image);
    else
      record->append_np_program(np.ident, kFnp3Weights, 0, image, true, true);
  }
  return record;
}

}  // namespace morla::v2
