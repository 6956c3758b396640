#include "backend/v1/fnp_learning.h"

#include <cmath>
#include <stdexcept>
#include <string>

#include "backend/v1/block_types.h"
#include "backend/v1/field_fit.h"
#include "backend/v1/fnp_image_fields.h"
#include "backend/v1/fnp_recording.h"
#include "backend/v1/fnp_sizes.h"
#include "backend/v1/layer_access.h"
#include "backend/v1/np_errors.h"
#include "backend/v1/np_fields.h"
#include "core/device.h"
#include "engine_api/hardware_device.h"
#include "engine_api/layer_params.h"
#include "engine_api/variables.h"
#include "contract/layer_mapping.h"

namespace morla::v1 {

namespace {

// Leading words of an FNP3's learning memory that are not part of the image.
constexpr size_t kFnp3LearningHeader = 2;

// Nearest integer, halves away from zero, truncated to 32 bits.
int32_t nearest(double value) { return static_cast<int32_t>(std::round(value)); }

// Words per neuron of a 1-bit image: 4 header words and one word per 32 inputs.
uint32_t learning_stride(uint32_t inputs) { return ((inputs + 31) >> 5) + 4; }

// The neurons of one class; refuses a class count that leaves a class without neurons.
uint32_t neurons_per_class(int64_t classes, uint32_t units) {
  if (classes < 1 || (classes >= 2 && classes > units))
    throw FnpError("num_classes must be between 1 and the " + std::to_string(units) +
                   " units of the layer (got " + std::to_string(classes) + ").");
  return units / static_cast<uint32_t>(classes);
}

}  // namespace

void record_learning_params(RegisterBlock& block, const LearningParams* params) {
  set_register_field(block, reg::kLearning, params ? 1 : 0);
  if (!params) return;
  const double weights = params->get("num_weights");
  const double competition = params->get("learning_competition");
  set_register_field(block, reg::kLearnWeightBudget,
                     static_cast<uint32_t>(nearest((1.0 - competition) * weights)));
  set_register_field(block, reg::kMinPlasticity,
                     static_cast<uint32_t>(
                         static_cast<int32_t>(std::ceil(params->get("min_plasticity") * weights))));
  const auto plasticity = static_cast<int32_t>(static_cast<uint32_t>(
      static_cast<int64_t>(std::round(params->get("initial_plasticity") * weights))));
  set_register_field(block, reg::kPlasticityDecay,
                     static_cast<uint32_t>(static_cast<int32_t>(
                         std::ceil(params->get("plasticity_decay") * plasticity))));
}

void write_learning_words(RegisterBlock& block, uint32_t word39, uint32_t word41) {
  set_register_field(block, reg::kLearnWord39, word39);
  set_register_field(block, reg::kLearnWord41, word41);
}

void write_learning_fields(std::vector<uint32_t>& image, const Layer& layer) {
  const LearningParams* params = layer.learning_params();
  if (!params) throw FnpError("The layer " + layer.name() + " is not compiled for learning.");
  // Model compile guarantees what the image below assumes: 1-bit weights, "units" equal to
  // the neuron count of "weights" (built from it) and one learning value per neuron. The
  // accesses stay checked all the same: a short tensor or image throws, nothing is
  // written out of bounds.
  const auto threshold = variable(layer, "threshold_learning");
  const auto thswap = variable(layer, "thswap");
  const auto classes = static_cast<int64_t>(params->get("num_classes"));
  const auto num_weights = static_cast<uint32_t>(static_cast<int64_t>(params->get("num_weights")));
  const auto units = static_cast<uint32_t>(param(layer, "units"));
  const uint32_t per_class = neurons_per_class(classes, units);
  const uint32_t stride = learning_stride(variable(layer, "weights")->shape()[1]);

  for (uint32_t n = 0; n < units; ++n) {
    const size_t base = size_t{n} * stride;
    if (classes >= 2)
      set_register_field(image, offset_field(fnp_image::kClass, base), n / per_class + 1);
    set_register_field(image, offset_field(fnp_image::kWeightCount, base), num_weights);
    const int32_t t = threshold->get<int32_t>(n);
    if (t < 0) throw FnpError("Negative value for threshold_learning not supported.");
    const uint32_t bits = fit_signed(t, 20);
    set_register_field(image, offset_field(fnp_image::kLearningThresholdHigh, base), bits >> 16);
    set_register_field(image, offset_field(fnp_image::kLearningThresholdLow, base), bits & 0xFFFF);
    set_register_field(image, offset_field(fnp_image::kThswap, base),
                       static_cast<uint32_t>(thswap->get<int32_t>(n)));
  }
}

LearningRecords record_fnp_learning(const Device& device, const Layer& layer, bool first_of_pass) {
  const LayerMapping& mapping = require_layer_mapping(layer);
  if (!mapping.nps || mapping.nps->empty())
    throw std::out_of_range("The layer " + layer.name() + " is mapped on no NP.");
  const hw::Component& np = mapping.nps->front();

  LearningRecords result;
  for (auto& record : result.records)
    record = std::make_unique<program::Record>(version_word(device.version()));
  const FnpRegisters on = record_fnp_registers(device, layer, true, nullptr, first_of_pass, false);
  const FnpRegisters off =
      record_fnp_registers(device, layer, false, nullptr, first_of_pass, false);
  result.records[0]->append_np_program(on.ident, block::kRegisters, 0, on.block, true, true);
  result.records[1]->append_np_program(off.ident, block::kRegisters, 0, off.block, true, true);

  std::vector<uint32_t> image = fnp_weight_image(layer);
  write_learning_fields(image, layer);
  if (np.type == hw::Type::FNP2)
    result.records[2]->set_external_block(program::ident_key(np.ident), image);
  else
    result.records[2]->append_np_program(np.ident, block::kFnpImage, 0, image, true, true);
  result.weight_words = fnp_weight_words(layer);
  return result;
}

void sync_fnp_learning(HardwareDevice& device, Variables& variables, bool is_fnp3) {
  const auto weights = variables.get("weights");
  const Shape shape = weights->shape();
  const uint32_t neurons = shape[0], inputs = shape[1];
  const uint32_t stride = learning_stride(inputs);

  std::vector<uint32_t> memory = device.learn_mem();
  const size_t skip = is_fnp3 ? kFnp3LearningHeader : 0;
  const size_t needed = skip + size_t{neurons} * stride;
  if (memory.size() < needed)
    throw std::runtime_error("The learning memory holds " + std::to_string(memory.size()) +
                             " words; the " + std::to_string(neurons) +
                             " neurons of the learning layer need " + std::to_string(needed) + ".");
  const uint32_t* image = memory.data() + skip;

  std::shared_ptr<Dense> learned(Dense::create(weights->type(), shape, Dense::Layout::ColMajor));
  const std::vector<uint32_t> strides = learned->strides();
  int8_t* out = learned->mutable_data<int8_t>();
  for (uint32_t n = 0; n < neurons; ++n)
    for (uint32_t i = 0; i < inputs; ++i) {
      const uint32_t word = image[size_t{n} * stride + 4 + (i >> 5)];
      out[size_t{n} * strides[0] + size_t{i} * strides[1]] =
          static_cast<int8_t>(word >> (i & 31) & 1u);
    }
  variables.set("weights", learned);

  const auto threshold = variables.get("threshold_learning");
  const auto thswap = variables.get("thswap");
  std::shared_ptr<Dense> new_threshold(
      Dense::create(threshold->type(), threshold->shape(), Dense::Layout::ColMajor));
  std::shared_ptr<Dense> new_thswap(
      Dense::create(thswap->type(), thswap->shape(), Dense::Layout::ColMajor));
  for (uint32_t n = 0; n < neurons; ++n) {
    const uint32_t* neuron = image + size_t{n} * stride;
    new_threshold->set<int32_t>(n, static_cast<int32_t>((neuron[3] >> 16) | (neuron[2] & 0xF0000)));
    new_thswap->set<int32_t>(n, static_cast<int32_t>(neuron[3] & 0xFFFF));
  }
  variables.set("threshold_learning", new_threshold);
  variables.set("thswap", new_thswap);
}

}  // namespace morla::v1
