#include "program_player.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <stdexcept>

#include <flatbuffers/flatbuffers.h>

#include "device_program_generated.h"

#include "engine_api/layer.h"
#include "engine_api/program_info.h"
#include "engine_api/variables.h"
#include "core/tensor_type.h"
#include "engine/board_registers.h"
#include "engine/crc32c.h"
#include "model/model_file.h"

namespace morla::sim {
namespace board = engine::board;

ProgramPlayer::ProgramPlayer(BoardMemory& memory, uint32_t registers_base,
                             std::vector<ProgramPair> pairs)
    : memory_(memory), base_(registers_base), pairs_(std::move(pairs)) {}

std::shared_ptr<ProgramPlayer> ProgramPlayer::install(BoardMemory& memory, uint32_t registers_base,
                                                      std::vector<ProgramPair> pairs) {
  auto player = std::make_shared<ProgramPlayer>(memory, registers_base, std::move(pairs));
  memory.add_handler(registers_base + board::kCommand, 4, player);
  return player;
}

uint32_t ProgramPlayer::reg(uint32_t offset) { return memory_.read_word(base_ + offset); }

void ProgramPlayer::set_reg(uint32_t offset, uint32_t value) {
  memory_.write_word(base_ + offset, value);
}

uint32_t ProgramPlayer::read_word(uint32_t) { return 0; }

void ProgramPlayer::write_word(uint32_t, uint32_t value) {
  std::lock_guard lock(mutex_);
  switch (static_cast<board::Command>(value)) {
    case board::Command::Load: load(); break;
    case board::Command::Unprogram:
      loaded_ = false;
      current_ = nullptr;
      break;
    case board::Command::Forward:
    case board::Command::Predict:
    case board::Command::Fit: run(value); break;
    default: set_reg(board::kStatus, static_cast<uint32_t>(board::Status::Error));
  }
}

void ProgramPlayer::load() {
  ++loads_;
  loaded_ = true;
  std::vector<uint8_t> program(reg(board::kProgramInfoSize));
  memory_.read(reg(board::kProgramInfoAddress), program.data(), program.size());
  if (const uint32_t data = reg(board::kProgramDataAddress)) {
    const uint32_t length = memory_.read_word(data);
    const size_t info = program.size();
    program.resize(info + 4 + size_t{length});
    memory_.read(data, program.data() + info, 4 + size_t{length});
  }
  current_ = nullptr;
  for (const auto& pair : pairs_)
    if (pair.program == program) current_ = &pair;
  if (!current_) report_unknown(program);
  // The learning memory starts as the program's learning image; an unknown program leaves
  // the board's memory as it was.
  if (current_) {
    const LearningImage image = learning_image(program);
    learn_leading_ = image.leading;
    set_reg(board::kLearnMemWords, static_cast<uint32_t>(image.words.size()));
    if (!image.words.empty())
      memory_.write(base_ + board::kLearnMem, reinterpret_cast<const uint8_t*>(image.words.data()),
                    image.words.size() * 4);
  }
  // Programming takes time on a chip: the program clock counts the words loaded.
  set_reg(board::kProgramClockCount, static_cast<uint32_t>(program.size() / 4));
}

void ProgramPlayer::report_unknown(const std::vector<uint8_t>& program) const {
  const auto describe = [](const std::vector<uint8_t>& bytes) {
    char text[64];
    std::snprintf(text, sizeof text, "%zu bytes, CRC-32C %08x", bytes.size(),
                  engine::crc32c(bytes.data(), bytes.size()));
    return std::string(text);
  };
  std::string pairs;
  for (const auto& pair : pairs_)
    pairs += (pairs.empty() ? "" : ", ") + pair.program_file + " (" + describe(pair.program) + ")";
  std::fprintf(stderr,
               "board_sim: the loaded program (%s) matches no --pair (%s): every run ends in the "
               "error status. Either the model was mapped again since its pairs were written "
               "(make new pairs and start board_sim again with them), or board_sim was started "
               "with other options than the pairs were mapped for (such as --no-fnp3): map on "
               "the version and mesh that board_sim --help gives for its options.\n",
               describe(program).c_str(), pairs.empty() ? "none given" : pairs.c_str());
}

void ProgramPlayer::run(uint32_t command) {
  ++runs_;
  try {
    if (failing_runs_ > 0) {
      --failing_runs_;
      throw std::runtime_error("failing run");
    }
    if (!current_) throw std::runtime_error("unknown program");
    write_outputs(*play(command));
    const uint32_t frames = reg(board::kFrameCount);
    if (reg(board::kClockCounterControl) & 1u)
      set_reg(board::kClockCounter, reg(board::kClockCounter) + 1000 * frames);
    set_reg(board::kStatus, static_cast<uint32_t>(board::Status::Done));
  } catch (const std::exception&) {
    set_reg(board::kStatus, static_cast<uint32_t>(board::Status::Error));
  }
}

std::shared_ptr<Tensor> ProgramPlayer::play(uint32_t command) {
  const auto type = static_cast<TensorType>(reg(board::kInputType));
  std::vector<uint32_t> dims{reg(board::kFrameCount)};
  for (uint32_t i = 0; i < 3; ++i)
    if (const uint32_t d = reg(board::kInputDims + 4 * i)) dims.push_back(d);
  const size_t frame_bytes = reg(board::kInputFrameBytes);
  std::vector<char> bytes(frame_bytes * dims[0]);
  memory_.read(reg(board::kInputAddress), reinterpret_cast<uint8_t*>(bytes.data()), bytes.size());
  std::shared_ptr<Dense> inputs =
      Dense::copy(bytes.data(), bytes.size(), type, Shape(dims), Dense::Layout::RowMajor);
  Model& model = *current_->model;
  switch (static_cast<board::Command>(command)) {
    case board::Command::Predict: return model.predict(inputs, 0);
    case board::Command::Fit: {
      std::vector<int32_t> labels(reg(board::kLabelCount));
      memory_.read(reg(board::kLabelsAddress), reinterpret_cast<uint8_t*>(labels.data()),
                   labels.size() * sizeof(int32_t));
      learn_mem_to_model();
      auto outputs = model.fit(inputs, labels, 0);
      model_to_learn_mem();
      return outputs;
    }
    default: learn_mem_to_model(); return model.forward(inputs, 0);
  }
}

void ProgramPlayer::write_outputs(const Tensor& outputs) {
  const Shape shape = outputs.shape();
  const uint32_t frames = shape[0];
  const size_t frame_bytes = outputs.buffer().size() / frames;
  if (outputs.buffer().size() > reg(board::kOutputLimit))
    throw std::runtime_error("outputs do not fit");
  memory_.write(reg(board::kOutputAddress), static_cast<const uint8_t*>(outputs.buffer().data()),
                outputs.buffer().size());
  set_reg(board::kOutputType, static_cast<uint32_t>(outputs.type()));
  for (uint32_t i = 0; i < 3; ++i)
    set_reg(board::kOutputDims + 4 * i, i + 1 < shape.size() ? shape[i + 1] : 0);
  set_reg(board::kOutputFrameBytes, static_cast<uint32_t>(frame_bytes));
}

namespace {

// The learning layer's variables that the learning memory holds.
struct LearningVariables {
  std::shared_ptr<Dense> weights, threshold, thswap;
  uint32_t neurons = 0, inputs = 0, stride = 0;
};

LearningVariables learning_variables(Model& model) {
  if (model.layers().empty() || !model.layers().back()->compiled())
    throw std::runtime_error("the model has no learning layer");
  Variables& variables = model.layers().back()->variables();
  LearningVariables v{variables.get("weights"), variables.get("threshold_learning"),
                      variables.get("thswap")};
  v.neurons = v.weights->shape()[0];
  v.inputs = v.weights->shape()[1];
  v.stride = ((v.inputs + 31) >> 5) + 4;
  return v;
}

}  // namespace

ProgramPlayer::LearningImage ProgramPlayer::learning_image(const std::vector<uint8_t>& program) {
  const auto* info =
      flatbuffers::GetSizePrefixedRoot<device_program::ProgramInfoRoot>(program.data());
  const auto* learning = info->learning();
  if (!learning || !learning->image()) return {};
  const auto* image = learning->image();
  const size_t data_start = 4 + size_t{flatbuffers::ReadScalar<uint32_t>(program.data())};
  uint32_t offset = 0, count = 0;
  LearningImage result;
  if (const auto* external = image->external()) {
    offset = external->offset();
    count = external->count();
  } else if (image->buffers() && image->buffers()->size() > 0) {
    // On an FNP3 the image is an NP block: its two header words come first.
    offset = image->buffers()->Get(0)->offset();
    count = image->buffers()->Get(0)->count();
    result.leading = 2;
  }
  result.words.resize(count);
  std::memcpy(result.words.data(), program.data() + data_start + offset, size_t{count} * 4);
  return result;
}

void ProgramPlayer::learn_mem_to_model() {
  const uint32_t words = reg(board::kLearnMemWords);
  if (words == 0) return;
  LearningVariables v = learning_variables(*current_->model);
  std::vector<uint32_t> mem(words);
  memory_.read(base_ + board::kLearnMem, reinterpret_cast<uint8_t*>(mem.data()), words * 4);
  auto weights = Dense::create(v.weights->type(), v.weights->shape(), v.weights->layout());
  auto threshold =
      Dense::create(v.threshold->type(), v.threshold->shape(), Dense::Layout::RowMajor);
  auto thswap = Dense::create(v.thswap->type(), v.thswap->shape(), Dense::Layout::RowMajor);
  const std::vector<uint32_t> strides = weights->strides();
  for (uint32_t n = 0; n < v.neurons; ++n) {
    const size_t base = learn_leading_ + size_t{n} * v.stride;
    if (base + v.stride > mem.size()) throw std::runtime_error("learning memory too small");
    for (uint32_t i = 0; i < v.inputs; ++i)
      static_cast<uint8_t*>(weights->buffer().mutable_data())[n * strides[0] + i * strides[1]] =
          static_cast<uint8_t>((mem[base + 4 + (i >> 5)] >> (i & 31)) & 1u);
    threshold->mutable_data<int32_t>()[n] =
        static_cast<int32_t>((mem[base + 3] >> 16) | (mem[base + 2] & 0xF0000u));
    thswap->mutable_data<int32_t>()[n] = static_cast<int32_t>(mem[base + 3] & 0xFFFFu);
  }
  Variables& variables = current_->model->layers().back()->variables();
  variables.set("weights", std::move(weights));
  variables.set("threshold_learning", std::move(threshold));
  variables.set("thswap", std::move(thswap));
}

void ProgramPlayer::model_to_learn_mem() {
  const uint32_t words = reg(board::kLearnMemWords);
  if (words == 0) return;
  const LearningVariables v = learning_variables(*current_->model);
  std::vector<uint32_t> mem(words);
  memory_.read(base_ + board::kLearnMem, reinterpret_cast<uint8_t*>(mem.data()), words * 4);
  const std::vector<uint32_t> strides = v.weights->strides();
  for (uint32_t n = 0; n < v.neurons; ++n) {
    const size_t base = learn_leading_ + size_t{n} * v.stride;
    for (uint32_t w = 0; w < v.stride - 4; ++w) mem[base + 4 + w] = 0;
    for (uint32_t i = 0; i < v.inputs; ++i)
      if (static_cast<const uint8_t*>(
              v.weights->buffer().data())[n * strides[0] + i * strides[1]] != 0)
        mem[base + 4 + (i >> 5)] |= 1u << (i & 31);
    const auto t = static_cast<uint32_t>(v.threshold->data<int32_t>()[n]);
    mem[base + 2] = (mem[base + 2] & ~0xF0000u) | (t & 0xF0000u);
    mem[base + 3] =
        (t & 0xFFFFu) << 16 | (static_cast<uint32_t>(v.thswap->data<int32_t>()[n]) & 0xFFFFu);
  }
  memory_.write(base_ + board::kLearnMem, reinterpret_cast<const uint8_t*>(mem.data()), words * 4);
}

size_t ProgramPlayer::loads() const {
  std::lock_guard lock(mutex_);
  return loads_;
}

size_t ProgramPlayer::runs() const {
  std::lock_guard lock(mutex_);
  return runs_;
}

void ProgramPlayer::fail_runs(size_t count) {
  std::lock_guard lock(mutex_);
  failing_runs_ = count;
}

namespace {

std::string dims_text(const uint32_t* begin, const uint32_t* end) {
  std::string text = "(";
  for (const uint32_t* d = begin; d != end; ++d)
    text += (d == begin ? "" : ", ") + std::to_string(*d);
  return text + ")";
}

std::string dims_text(const flatbuffers::Vector<uint32_t>* dims) {
  return dims ? dims_text(dims->data(), dims->data() + dims->size()) : "()";
}

bool same_dims(const Shape& shape, const flatbuffers::Vector<uint32_t>* dims) {
  return dims && dims->size() == shape.size() &&
         std::equal(shape.begin(), shape.end(), dims->begin());
}

// The program must be a device program for this board, and the model must hold the layers
// of the program's sequence: same input and output shapes.
void check_pair(const std::string& argument, const ProgramPair& pair, const HwVersion& board) {
  try {
    ProgramInfo(pair.program.data(), pair.program.size());
  } catch (const std::exception& error) {
    throw std::invalid_argument(argument + ": the program is not a device program (" +
                                error.what() + ")");
  }
  const auto* info =
      flatbuffers::GetSizePrefixedRoot<device_program::ProgramInfoRoot>(pair.program.data());
  const auto* v = info->hw_version();
  const HwVersion version =
      v ? HwVersion{v->vendor_id(), v->product_id(), v->major_rev(), v->minor_rev()} : HwVersion{};
  if (version != board)
    throw std::invalid_argument(argument + ": the program was made for " +
                                hw_version_to_string(version) + ", this board is " +
                                hw_version_to_string(board) + " (see --help for --soc)");
  const Shape in = pair.model->input_shape(), out = pair.model->output_shape();
  if (!same_dims(in, info->input_dims()) || !same_dims(out, info->output_dims()))
    throw std::invalid_argument(
        argument + ": the model does not hold the program's layers: the model takes " +
        dims_text(in.begin(), in.end()) + " and gives " + dims_text(out.begin(), out.end()) +
        ", the program takes " + dims_text(info->input_dims()) + " and gives " +
        dims_text(info->output_dims()) +
        ". Pair each hardware sequence's program with a model of that sequence's layers only.");
}

}  // namespace

ProgramPair read_program_pair(const std::string& argument, const HwVersion& board) {
  const size_t equals = argument.find('=');
  if (equals == std::string::npos)
    throw std::invalid_argument("a pair is program.bin=model.fbz, not " + argument);
  std::ifstream file(argument.substr(0, equals), std::ios::binary);
  if (!file) throw std::invalid_argument("cannot read " + argument.substr(0, equals));
  ProgramPair pair;
  pair.program.assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
  pair.program_file = argument.substr(0, equals);
  const std::string model_file = argument.substr(equals + 1);
  try {
    pair.model = Model::from_buffer(read_model_file(model_file));
  } catch (const std::exception& error) {
    // The model loader's own text does not name the file.
    throw std::invalid_argument(argument + ": cannot load the model file " + model_file + ": " +
                                error.what());
  }
  check_pair(argument, pair, board);
  return pair;
}

}  // namespace morla::sim
