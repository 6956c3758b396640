#include "hwmap/hardware_sequence.h"

#include <cstring>
#include <exception>
#include <stdexcept>

#include "backend/v1/layer_recorder.h"
#include "backend/v2/layer_recorder.h"
#include "core/device.h"
#include "engine_api/hardware_device.h"
#include "engine_api/layer.h"
#include "engine_api/layer_params.h"
#include "core/ip_version.h"
#include "core/platform.h"
#include "contract/graph_utils.h"
#include "contract/layer_mapping.h"

namespace morla {

HardwareSequence::HardwareSequence(std::shared_ptr<Device> device,
                                   std::shared_ptr<const HardwareDescription> description,
                                   std::vector<std::shared_ptr<Layer>> layers,
                                   std::vector<std::shared_ptr<Pass>> passes,
                                   std::vector<uint8_t> program)
    : device_(std::move(device)),
      description_(std::move(description)),
      layers_(std::move(layers)),
      passes_(std::move(passes)),
      program_(std::move(program)) {}

HardwareSequence::~HardwareSequence() {
  HardwareDevice* hardware = device_ ? device_->hardware() : nullptr;
  if (!hardware || program_.empty()) return;
  try {
    if (hardware->program().data == program_.data()) hardware->unprogram();
  } catch (const std::exception&) {
    // The device is unreachable; it cannot read the freed program either.
  }
}

Sequence::ProgramParts HardwareSequence::program_parts() const {
  // The program assembly always writes the length word, and the length within the program.
  if (program_.size() < 4) panic("A hardware sequence's program has no length word.");
  uint32_t length;
  std::memcpy(&length, program_.data(), 4);
  if (uint64_t{length} + 4 > program_.size())
    panic("A hardware sequence's program info is longer than its program.");
  const size_t info = size_t{length} + 4;
  return {{program_.data(), info}, {program_.data() + info, program_.size() - info}};
}

std::string HardwareSequence::name() const { return sequence_name("HW", layers_); }

namespace {

// The recorder that reads a learning layer's values back: v1 devices learn on the chip;
// neither v2 nor the Mote edition does, and the v2 recorder refuses for both.
std::unique_ptr<LayerRecorder> learning_recorder(IpVersion ip, std::shared_ptr<Device> device,
                                                 const HardwareDescription& description) {
  switch (ip) {
    case IpVersion::v1: return std::make_unique<v1::LayerRecorderImpl>(device, &description);
    case IpVersion::v2:
    case IpVersion::mote: return std::make_unique<v2::LayerRecorderImpl>(device, description);
    default: throw std::runtime_error("Unsupported IP version in sync_learning_vars.");
  }
}

std::vector<int32_t> label_values(const Tensor& labels) {
  if (labels.type() != TensorType::int32)
    throw std::invalid_argument("Labels must be an int32 tensor.");
  std::vector<int32_t> values(labels.size());
  std::memcpy(values.data(), labels.buffer().data(), values.size() * sizeof(int32_t));
  return values;
}

}  // namespace

TensorResults HardwareSequence::forward(const TensorList& inputs, const Tensor* labels) {
  HardwareDevice* hw = device_ ? device_->hardware() : nullptr;
  if (!hw) throw std::runtime_error("An actual hardware device is required.");
  const ByteRange loaded = hw->program();
  if (!loaded.data || loaded.size != program_.size() ||
      std::memcmp(loaded.data, program_.data(), program_.size()) != 0)
    hw->set_program(program_.data(), program_.size());
  hw->set_batch_size(inputs.size(), true);
  const bool learn = labels != nullptr;
  if (learn != hw->learn_enabled()) hw->set_learn_enabled(learn);
  if (learn) {
    TensorResults outputs = hw->fit(inputs, label_values(*labels));
    sync_learning_vars();
    return outputs;
  }
  if (!layers_.empty() && layers_.back()->params()->layer_type() == LayerType::Dequantizer)
    return hw->predict(inputs);
  return hw->forward(inputs);
}

void HardwareSequence::sync_learning_vars() {
  if (passes_.empty()) return;
  const LayerPtr layer = last_mappable_layer(passes_.back()->layers);
  if (!layer) return;
  const LayerMapping& mapping = require_layer_mapping(*layer);
  if (!mapping.nps || mapping.nps->size() != 1)
    throw std::runtime_error("Learning is not supported for layers mapped on more than 1 NP.");
  if (!description_) throw std::runtime_error("The hardware sequence has no hardware description.");
  learning_recorder(device_->version().get_ip_version(), device_, *description_)
      ->sync_learning_vars(layer);
}

}  // namespace morla
