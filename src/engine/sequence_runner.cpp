#include "engine/sequence_runner.h"

#include <cstring>
#include <stdexcept>

#include "engine/software_sequence.h"

namespace morla::engine {
namespace {

// The frames a device returned, one (n, ...) tensor again.
std::shared_ptr<Dense> stack(const TensorResults& frames) {
  if (frames.empty()) throw std::runtime_error("The device returned no outputs.");
  const auto first = Tensor::ensure_dense(frames.front());
  const Shape shape = first->shape();
  if (shape.size() > 3)
    throw std::runtime_error("The device returned outputs of more than three dimensions.");
  std::vector<uint32_t> dims{static_cast<uint32_t>(frames.size())};
  dims.insert(dims.end(), shape.begin(), shape.end());
  while (dims.size() < 4) dims.push_back(1);
  std::shared_ptr<Dense> out = Dense::create(first->type(), Shape(dims), Dense::Layout::RowMajor);
  const size_t bytes = first->buffer().size();
  auto* dst = static_cast<char*>(out->buffer().mutable_data());
  for (size_t i = 0; i < frames.size(); ++i) {
    const auto frame = Tensor::ensure_dense(frames[i]);
    if (frame->type() != first->type() || frame->buffer().size() != bytes)
      throw std::runtime_error("The device returned outputs of different types or sizes.");
    std::memcpy(dst + i * bytes, frame->buffer().data(), bytes);
  }
  return out;
}

std::shared_ptr<Dense> labels_tensor(const std::vector<int32_t>& labels) {
  if (labels.empty()) throw std::runtime_error("Learning on a device needs labels.");
  return Dense::copy(reinterpret_cast<const char*>(labels.data()), labels.size() * sizeof(int32_t),
                     TensorType::int32, Shape{static_cast<uint32_t>(labels.size())},
                     Dense::Layout::RowMajor);
}

}  // namespace

std::shared_ptr<Dense> run_sequences(const std::vector<std::shared_ptr<Sequence>>& sequences,
                                     std::shared_ptr<Dense> inputs, const SequenceRun& run) {
  std::shared_ptr<Dense> current = std::move(inputs);
  for (size_t i = 0; i < sequences.size(); ++i) {
    const bool last = i + 1 == sequences.size();
    const bool learn = last && run.labels;
    if (auto* hardware = dynamic_cast<ForwardableSequence*>(sequences[i].get())) {
      const std::shared_ptr<Dense> labels = learn ? labels_tensor(*run.labels) : nullptr;
      if (run.before_hardware) run.before_hardware(*sequences[i], last);
      current = stack(hardware->forward(Dense::split(*current), labels.get()));
    } else if (auto* software = dynamic_cast<SoftwareSequence*>(sequences[i].get())) {
      current = ModelRunner::segment(software->layers())
                    .run(*current, run.batch_size, learn ? run.learn : nullptr);
    } else {
      throw std::runtime_error("Sequence '" + sequences[i]->name() + "' cannot run.");
    }
  }
  return current;
}

}  // namespace morla::engine
