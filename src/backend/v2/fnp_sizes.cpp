#include "backend/v2/fnp_sizes.h"

#include <stdexcept>
#include <string>

#include "backend/v2/input_shift_memory.h"
#include "backend/v2/layer_facts.h"
#include "backend/v2/variable_access.h"
#include "engine_api/layer_params.h"
#include "contract/fnp_input_size.h"
#include "contract/layer_rules.h"
#include "contract/program_record.h"

namespace morla::v2 {

namespace {

using Word = HardwareDescription::Word;

uint32_t ceil_div(uint32_t a, uint32_t b) { return (a + b - 1) / b; }
uint32_t round_up(uint32_t a, uint32_t m) { return ceil_div(a, m) * m; }

[[noreturn]] void unsupported_padding() { throw std::runtime_error("Unsupported padding."); }

// The padded layouts count inputs per byte and per word.
void require_byte_inputs(uint32_t bits) {
  if (bits == 0 || bits > 8)
    throw std::runtime_error("FNP inputs of " + std::to_string(bits) + " bits cannot be padded.");
}

// Whether the input padding mode suits the layer that feeds the FNP.
bool mode_fits_inbound(uint32_t mode, const Layer* inbound) {
  const auto on = [&](ComponentKind kind) { return inbound && inbound->is_target_component(kind); };
  switch (mode) {
    case 1: return !inbound || on(ComponentKind::None) || on(ComponentKind::FNP);
    case 2: return on(ComponentKind::CNP) || on(ComponentKind::TNP_B) || on(ComponentKind::HRC);
    case 3: return on(ComponentKind::CNP) || on(ComponentKind::TNP_B);
    default: return false;
  }
}

// A Dense1D layer with the input padding mode it would get and the layer feeding it.
struct DenseFacts {
  LayerFacts layer;
  const Layer* inbound;
  uint32_t mode;

  uint32_t in_bits() const { return layer.input_bits(); }
  uint32_t out_bits() const { return layer.output_bits(); }
  int weights_bits() const { return layer.param("weights_bits"); }
  bool activation() const { return layer.activation(); }
  uint32_t input_words() const { return fnp_input_words(layer.layer, inbound == nullptr); }
  uint32_t input_limit() const { return layer.word(Word::fnp_input_words); }
};

using D = DenseFacts;

const Rule<D> kDenseRules[] = {
    {[](const D& d) { return d.in_bits() != 4 && d.in_bits() != 8; },
     "Input should be 4-bit or 8-bit."},
    {[](const D& d) { return d.out_bits() < 8 && d.out_bits() != 4; },
     "Output bits should be 4, 8 or > 8."},
    {[](const D& d) { return d.activation() && d.out_bits() != 4 && d.out_bits() != 8; },
     "With activation output bitwidth should be 4 or 8."},
    {[](const D& d) {
       return d.activation() && d.out_bits() == 4 &&
              d.layer.param("activation") != static_cast<int>(ActivationType::ReLU);
     },
     "4-bit activation is not supported with LUT."},
    {[](const D& d) {
       return !d.activation() && d.out_bits() != 8 && d.out_bits() != 28 && d.out_bits() != 32;
     },
     "Without activation output bitwidth should be 8, 28 or 32."},
    {[](const D& d) { return !mode_fits_inbound(d.mode, d.inbound); },
     "Input dimensions are too large to fit in a FNP. The maximum value is 2048."},
    {[](const D& d) { return d.weights_bits() != 4 && d.weights_bits() != 8; },
     "Weights bitwidth should be 4-bit or 8-bit."},
    {[](const D& d) { return d.weights_bits() == 4 && d.out_bits() == 8; },
     "With 4-bit weights, output must be 4-bit or 32-bit."},
    {[](const D& d) { return d.weights_bits() > static_cast<int>(d.in_bits()); },
     "Input bits should be >= weights bits."},
};

const Rule<D> kInputShiftPresentRules[] = {
    {[](const D& d) { return !optional_variable(d.layer.layer, "input_shift"); },
     "No variable named 'input_shift'."},
};

const Rule<D> kInputMemoryRules[] = {
    {[](const D& d) { return d.input_words() > d.input_limit(); },
     [](const D& d) {
       return "Input size exceeds memory. Maximum size is " +
              std::to_string(uint64_t{4} * d.input_limit()) + " bytes. (got " +
              std::to_string(uint64_t{4} * d.input_words()) + " bytes).";
     }},
};

}  // namespace

MappingStatus check_dense1d(const HardwareDescription& d, const Layer& layer,
                            const Layer* inbound) {
  const DenseFacts f{{layer, &d}, inbound, fnp_input_size(layer, inbound == nullptr)};
  RuleStatus status(layer);
  // The memory rules are sized by the mode, which only the passing layer rules make sound.
  if (status.every(kDenseRules, f).failed()) return status;
  if (status.every(kInputShiftPresentRules, f).failed()) return status;
  const auto input_shift = optional_variable(layer, "input_shift");
  status.merge(check_input_shift_words(
      d, layer, fnp_input_shift_size(*input_shift, layer.input_dims(), f.mode, f.in_bits())));
  return status.every(kInputMemoryRules, f);
}

Shape fnp_input_shape(const Layer& layer, bool flatten) {
  const Shape dims = layer.input_dims();
  if (!flatten) return dims;
  return Shape{1, 1, dims[0] * dims[1] * dims[2]};
}

uint32_t fnp_input_words_of(uint32_t x, uint32_t y, uint32_t c, uint32_t bits, uint32_t mode) {
  switch (mode) {
    case 1: return ceil_div(x * y * c * bits, 32);
    case 2: return ceil_div(ceil_div(x * bits, 8) * c, 4) * y;
    case 3: return (round_up(x * bits, 32) / 32) * c * y;
    default: unsupported_padding();
  }
}

uint32_t fnp_input_words(const Layer& layer, bool no_inbound) {
  const Shape s = fnp_input_shape(layer, no_inbound);
  return fnp_input_words_of(s[0], s[1], s[2], layer.input_bits() & 0xFF,
                            fnp_input_size(layer, no_inbound));
}

uint32_t fnp_input_shift_size(const Tensor& input_shift, const Shape& dims, uint32_t mode,
                              uint32_t bits) {
  if (mode == 1) return ceil_div(static_cast<uint32_t>(input_shift.size()), 8);
  require_byte_inputs(bits);
  const uint32_t x = dims[0], y = dims[1], c = dims[2];
  uint32_t row_words = 0;
  switch (mode) {
    case 2: row_words = ceil_div(ceil_div(x * bits, 8) * c, 4); break;
    case 3: row_words = round_up(ceil_div(x * bits, 8), 4) * c / 4; break;
    default: unsupported_padding();
  }
  return ceil_div(y * row_words * 32 / bits, 8);
}

uint32_t fnp_neuron_words(const Shape& shape, uint32_t mode, uint32_t ib, uint32_t wb) {
  const uint32_t x = shape[0], y = shape[1], c = shape[2];
  switch (mode) {
    // A flat input: every input value has its weight, whatever the shape says.
    case 1: return 2 + ceil_div(x * y * c * wb, 32);
    case 2: {
      require_byte_inputs(ib);
      const uint32_t per_byte = 8 / ib, per_word = 32 / ib;
      const uint32_t p8 = ((x * ib / 8 + 1) * per_byte - x) % per_byte;
      const uint32_t run = (x + p8) * c;
      const uint32_t p32 = ((run * ib / 32 + 1) * per_word - run) % per_word;
      return 2 + ceil_div(y * wb * (run + p32), 32);
    }
    case 3: return 2 + (round_up(x * ib, 32) / 32) * c * y;
    default: unsupported_padding();
  }
}

uint32_t fnp_weight_words_of(const Tensor& weights, uint32_t wb, const Shape& shape, uint32_t mode,
                             uint32_t ib) {
  return fnp_neuron_words(shape, mode, ib, wb) * weights.shape()[1];
}

uint32_t fnp_weight_words(const Layer& layer) {
  const auto weights = required_variable(layer, "weights");
  const uint32_t words = fnp_weight_words_of(
      *weights, static_cast<uint32_t>(param(layer, "weights_bits")), fnp_input_shape(layer, false),
      fnp_input_size(layer, false), layer.input_bits() & 0xFF);
  return program::is_long_np_block(words) ? round_up(words, 16) : words;
}

}  // namespace morla::v2
