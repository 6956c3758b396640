#include "backend/v1/io_recorder.h"

#include <array>
#include <initializer_list>
#include <stdexcept>
#include <vector>

#include "backend/v1/block_types.h"
#include "backend/v1/layer_access.h"
#include "backend/v1/layer_traits.h"
#include "core/device.h"
#include "core/ip_version.h"
#include "engine_api/layer_params.h"
#include "core/enums.h"
#include "core/register_field.h"

namespace morla::v1 {

namespace {

[[noreturn]] void unsupported() { throw std::runtime_error("Unsupported layer type."); }

// The unit that carries a layer with an input or output code.
Carrier coded_carrier(const Layer& layer) {
  const LayerTraits* traits = find_layer_traits(layer_type(layer));
  if (!traits) unsupported();
  return traits->carrier;
}

// An FNP whose input is a 1 x 1 vector that no CNP produces.
bool is_flat_fnp_input(const Layer& layer) {
  if (!layer.is_target_component(ComponentKind::FNP)) return false;
  const auto inbounds = layer.inbounds();
  if (!inbounds.empty() && inbounds.front() &&
      inbounds.front()->is_target_component(ComponentKind::CNP))
    return false;
  const Shape input = layer.input_dims();
  return input[0] == 1 && input[1] == 1;
}

// Whether the device's DMA takes small inputs and outputs with code 0 (a later product).
bool io_code_zero(const Device& device) {
  return product_io_code_zero(device.version().product_id);
}

// One register word from its {shift, width, value} fields.
uint32_t word(std::initializer_list<std::array<uint32_t, 3>> fields) {
  uint32_t value = 0;
  for (const auto& [shift, width, v] : fields) {
    const RegisterField field{shift, width};
    set_register_field(&value, &field, v);
  }
  return value;
}

}  // namespace

program::RecordPtr IoRecorderImpl::record_input(bool input_on_hrc, bool input_code_zero,
                                                bool last_on_hrc, bool output_code_zero, bool,
                                                const Shape& input_dims,
                                                const Shape& output_dims) const {
  auto record = std::make_unique<program::Record>(version_word(device_->version()));
  const auto append = [&](uint16_t offset, uint32_t value) {
    record->append_np_program(hw::Ident{}, block::kDirect, offset, {value}, true, true);
  };
  append(4, word({{0, 2, input_on_hrc ? 0u : 1u},
                  {3, 1, output_code_zero},
                  {4, 1, input_code_zero},
                  {8, 1, last_on_hrc}}));
  if (input_code_zero) append(64, word({{0, 18, input_dims[2]}}));
  if (output_code_zero) {
    const bool single = output_dims[0] == 1 && output_dims[1] == 1;
    append(68,
           single ? 0 : word({{20, 11, output_dims[2]}, {0, 20, output_dims[2] * output_dims[1]}}));
  }
  return record;
}

RegisterWrites IoRecorderImpl::output_registers(const std::shared_ptr<Layer>& layer,
                                                uint8_t first_column, uint8_t last_column,
                                                uint8_t fixed_value, bool, bool multi_pass,
                                                bool input_code_zero) const {
  return {
      {0, word({{0, 4, is_flat_fnp_input(*layer) ? 2u : 0u},
                {8, 4, 2},
                {17, 1, 1},
                {12, 1, input_code_zero}})},
      {12, word({{0, 16, 16}, {16, 11, multi_pass ? 300u : 0u}})},
      {16, word({{0, 4, 1}, {16, 8, first_column}, {24, 8, last_column}})},
      {20, word({{8, 8, fixed_value}})},
      {24, word({{0, 8, 1}, {8, 8, 0}, {16, 8, 254}, {24, 8, fixed_value}})},
      {28, word({{0, 23, 0x7FFFFF}, {25, 1, 1}})},
  };
}

uint8_t IoRecorderImpl::input_code(const std::shared_ptr<Layer>& layer) const {
  if (io_code_zero(*device_) && layer->input_dims()[2] < 0x40000) return 0;
  switch (coded_carrier(*layer)) {
    case Carrier::cnp: return 2;
    case Carrier::hrc: return 0;
    case Carrier::fnp: return is_flat_fnp_input(*layer) ? 1 : 2;
    default: unsupported();
  }
}

uint8_t IoRecorderImpl::output_code(const std::shared_ptr<Layer>& layer, uint8_t input_code) const {
  const bool narrow = input_code == 0 && io_code_zero(*device_) && layer->output_dims()[2] < 2048;
  switch (coded_carrier(*layer)) {
    case Carrier::cnp: return narrow && layer->has_activation() ? 0 : 2;
    case Carrier::hrc: return 3;
    case Carrier::fnp: return narrow ? 0 : 1;
    default: unsupported();
  }
}

}  // namespace morla::v1
