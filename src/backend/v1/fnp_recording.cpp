#include "backend/v1/fnp_recording.h"

#include <algorithm>
#include <cstdlib>

#include "backend/v1/block_types.h"
#include "backend/v1/field_fit.h"
#include "backend/v1/fnp_image_fields.h"
#include "backend/v1/fnp_learning.h"
#include "backend/v1/fnp_sizes.h"
#include "backend/v1/layer_access.h"
#include "backend/v1/np_errors.h"
#include "backend/v1/np_fields.h"
#include "backend/v1/np_routing.h"
#include "core/device.h"
#include "engine_api/v1_layers.h"
#include "core/mesh.h"
#include "ops/conversion.h"
#include "contract/mapped_nps.h"
#include "contract/strided_view.h"

namespace morla::v1 {

namespace {

uint32_t magnitude_planes(int weights_bits) {
  return weights_bits == 1 ? 1 : static_cast<uint32_t>(weights_bits) - 1;
}

}  // namespace

FnpRegisters record_fnp_registers(const Device& device, const Layer& layer, bool learning,
                                  const std::shared_ptr<Layer>& next_pass_first, bool first_of_pass,
                                  bool last_of_pass) {
  const auto& fc = as_engine_type<FullyConnected>(layer);
  const LayerMapping& mapping = require_layer_mapping(fc);
  if (!mapping.nps || mapping.nps->empty())
    throw std::out_of_range("The layer " + fc.name() + " is mapped on no NP.");
  const hw::Component& np = mapping.nps->front();
  const bool fnp2 = np.type == hw::Type::FNP2;
  const bool single_buffer = np.np_block && np.np_block->single_buffer;
  const auto input_bits = static_cast<uint8_t>(fc.input_bits());
  const Shape input = input_shape(fc);
  const uint32_t x = input[0], y = input[1];

  RegisterBlock block = init_np_registers();
  const Shape weights = variable(fc, "weights")->shape();
  const uint32_t neurons = weights[0], inputs = weights[1];
  const int units = param(fc, "units");
  const int act_bits = param(fc, "act_bits");
  const bool activation = param(fc, "activation") != 0;
  const int weights_bits = param(fc, "weights_bits");
  const uint32_t planes = magnitude_planes(weights_bits);

  set_register_field(block, reg::kFnpBlock, 1);
  set_register_field(block, reg::kWord1Bit5, 1);
  set_register_field(block, reg::kWord1Bit6, 1);
  set_register_field(block, reg::kFnpKind, fnp2 ? 3 : 1);
  if (!fnp2) set_register_field(block, reg::kWord1Bits24To25, 1);
  if (input_bits == 4 && !single_buffer)
    throw std::invalid_argument("4-bit FNP inputs require single buffer mode.");
  set_register_field(block, reg::kSingleBuffer, single_buffer);

  set_register_field(block, reg::kInputBitsHalf, input_bits >> 1);
  set_register_field(block, reg::kWeightBitsCode, planes - 1);
  set_register_field(block, reg::kMultiBitWeights, weights_bits != 1);
  set_register_field(block, reg::kActBitsHalf, static_cast<uint32_t>(act_bits >> 1));
  set_register_field(block, reg::kActivationOn, activation);
  set_register_field(block, reg::kNpCount, 1);
  set_register_field(block, reg::kOrder, mapping.order);
  set_register_field(block, reg::kWindowHeight, y);
  set_register_field(block, reg::kWindowWidth, x);
  set_register_field(block, reg::kAlignedWidth, 0);
  set_register_field(block, reg::kFnpInputCount, x * y);
  set_register_field(block, reg::kWord14Bit31, 1);
  set_register_field(block, reg::kWord14InputWords, static_cast<uint32_t>(fnp_input_words(fc)));
  set_register_field(block, reg::kFnpUnits, static_cast<uint32_t>(units));
  set_register_field(block, reg::kWord16Bits0To17, 0);
  set_register_field(block, reg::kFnpActivation, activation ? 2 : 0);
  if (!fnp2) {
    const uint32_t image_words = fnp_weight_words_unaligned(neurons, inputs, weights_bits);
    const uint32_t chunk = 256 * register_field(block, reg::kWeightChunk);
    set_register_field(block, reg::kFnpImageWords, image_words);
    set_register_field(block, reg::kFnpImageChunks, (image_words + chunk - 1) / chunk);
  }

  record_learning_params(block, learning ? fc.learning_params() : nullptr);

  record_np_routing(block, collect_mapped_nps(mapping), *mapping.nps,
                    collect_following_nps(mapping), mapping.next_order, mapping.has_output_dma,
                    last_of_pass);
  // An FNP2 reads its weights from external memory through the configuration DMA.
  if (fnp2) record_np_dma_conf(block, device.mesh().dma_conf);
  if (next_pass_first)
    if (const hw::Component* target = find_np(*next_pass_first, np.ident))
      record_np_p2p(block, *next_pass_first, *target);
  if (first_of_pass) set_np_word2_flag(block);
  return {np.ident, std::move(block)};
}

std::vector<uint32_t> build_fnp_weight_image(const Dense& weights, const Dense& threshold,
                                             const Dense& act_step, int weights_bits,
                                             bool with_activation) {
  const Shape shape = weights.shape();
  const uint32_t neurons = shape[0], inputs = shape[1];
  const std::vector<uint32_t> strides = weights.strides();
  const uint32_t groups = (inputs + 31) >> 5;
  const uint32_t planes = magnitude_planes(weights_bits);
  const uint32_t stride = fnp_weight_words_unaligned(1, inputs, weights_bits);
  const StridedView<int8_t> at(weights, strides, {neurons, inputs, 1, 1});
  std::vector<uint32_t> image(size_t{neurons} * stride, 0);

  // 1-bit weights have no negative region: a negative weight would land in the next neuron's
  // words.
  const auto refuse_negative = [](int w) {
    throw std::invalid_argument("1-bit FNP weights must be 0 or 1 (got " + std::to_string(w) +
                                ").");
  };
  // An int8 magnitude has 8 bits: planes above them stay empty.
  constexpr uint32_t kValuePlanes = 8;
  const uint32_t value_planes = std::min(planes, kValuePlanes);
  for (uint32_t n = 0; n < neurons; ++n) {
    const size_t positive = size_t{n} * stride + 4;
    const size_t negative = positive + size_t{groups} * planes;
    for (uint32_t g = 0; g < groups; ++g) {
      // The plane words of 32 inputs, built without a branch on the values.
      const uint32_t end = std::min(inputs, g * 32 + 32);
      if (weights_bits == 1) {
        uint32_t word = 0, signs = 0;
        for (uint32_t i = g * 32; i < end; ++i) {
          const auto w = static_cast<uint8_t>(at(n, i, 0, 0));
          word |= uint32_t{w & 1u} << (i & 31);
          signs |= w;
        }
        if (signs & 0x80u)
          for (uint32_t i = g * 32; i < end; ++i)
            if (at(n, i, 0, 0) < 0) refuse_negative(at(n, i, 0, 0));
        image[positive + g] |= word;
        continue;
      }
      uint32_t plus[kValuePlanes] = {}, minus[kValuePlanes] = {};
      for (uint32_t i = g * 32; i < end; ++i) {
        const int w = at(n, i, 0, 0);
        const auto magnitude = static_cast<uint32_t>(std::abs(w));
        const uint32_t sign_mask = w < 0 ? ~0u : 0u;
        for (uint32_t k = 0; k < value_planes; ++k) {
          const uint32_t bit = (magnitude >> k & 1u) << (i & 31);
          plus[k] |= bit & ~sign_mask;
          minus[k] |= bit & sign_mask;
        }
      }
      for (uint32_t k = 0; k < value_planes; ++k) {
        image[positive + size_t{g} * planes + k] |= plus[k];
        image[negative + size_t{g} * planes + k] |= minus[k];
      }
    }
  }
  for (uint32_t n = 0; n < neurons; ++n) {
    const size_t neuron = size_t{n} * stride;
    if (!with_activation) {
      set_register_field(image, offset_field(fnp_image::kThreshold, neuron), 0x80000);
      set_register_field(image, offset_field(fnp_image::kActStep, neuron), 0);
      continue;
    }
    set_register_field(image, offset_field(fnp_image::kThreshold, neuron),
                       fit_signed(threshold.get<int32_t>(n), 20));
    const int32_t step = act_step.get<int32_t>(n);
    if (const std::string error = act_step_error(step); !error.empty()) throw FnpError(error);
    set_register_field(image, offset_field(fnp_image::kActStep, neuron),
                       static_cast<uint32_t>(step));
  }
  return image;
}

program::RecordPtr record_fully_connected(const Device& device, const Layer& layer,
                                          const PassPlacement& placement) {
  const LayerMapping& mapping = require_layer_mapping(layer);
  auto record = std::make_unique<program::Record>(version_word(device.version()));
  if (!mapping.nps || mapping.nps->empty())
    throw std::out_of_range("The layer " + layer.name() + " is mapped on no NP.");
  const hw::Component& np = mapping.nps->front();
  const auto& skip = placement.skip_idents;
  if (std::find(skip.begin(), skip.end(), np.ident) != skip.end()) return record;

  const FnpRegisters registers =
      record_fnp_registers(device, layer, false, placement.next_pass_first, placement.first_of_pass,
                           placement.last_of_pass);
  record->append_np_program(registers.ident, block::kRegisters, 0, registers.block, true, true);
  if (placement.handover) return record;

  const std::vector<uint32_t> image = fnp_weight_image(layer);
  if (np.type == hw::Type::FNP2)
    record->set_external_block(program::ident_key(np.ident), image);
  else
    record->append_np_program(np.ident, block::kFnpImage, 0, image, true, true);
  return record;
}

std::vector<uint32_t> fnp_weight_image(const Layer& layer) {
  const auto threshold = variable(layer, "threshold");
  const auto act_step = float_to_fixed_q4(*variable(layer, "act_step"));
  return build_fnp_weight_image(*variable(layer, "weights"), *threshold, *act_step,
                                param(layer, "weights_bits"), param(layer, "activation") != 0);
}

}  // namespace morla::v1
