// A model that learned on a board whose link fails while the board runs or while the learned
// values are read back: whatever the model's fit then reports, its next forward gives the
// outputs of its own variables, never the board's unread ones.
#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>
#include <stdexcept>
#include <vector>

#include "board_config.h"
#include "board_simulator.h"
#include "engine_api/hardware_device.h"
#include "engine_api/layer.h"
#include "engine_api/layer_params.h"
#include "engine_api/model.h"
#include "engine_api/sequence.h"
#include "engine_api/variables.h"
#include "devices/host_device.h"
#include "driver_test_support.h"
#include "drivers/bin_protocol.h"
#include "program_player.h"

namespace morla {
namespace {

uint32_t next_random(uint32_t& state) {
  state = state * 1664525u + 1013904223u;
  return state >> 8;
}

// An HRC convolution, a convolution and a learning FullyConnected over 16x16 pixels: random
// 1-bit weights (none on the learning layer: compiling connects it) and thresholds that leave
// about half of the activations on, so that learning shows.
std::unique_ptr<Model> learning_model() {
  struct Row {
    LayerType type;
    std::map<std::string, int> keys;
    const char* name;
    int32_t threshold;
  };
  const Row rows[] = {{LayerType::InputConvolutional,
                       {{"input_width", 16},
                        {"input_height", 16},
                        {"input_channels", 1},
                        {"kernel_width", 3},
                        {"kernel_height", 3},
                        {"filters", 8}},
                       "hrc",
                       560},
                      {LayerType::Convolutional,
                       {{"kernel_width", 3}, {"kernel_height", 3}, {"filters", 8}},
                       "conv",
                       17},
                      {LayerType::FullyConnected,
                       {{"units", 10}, {"weights_bits", 1}, {"activation", 1}},
                       "fc",
                       3}};
  auto model = Model::create();
  uint32_t state = 1;
  for (const Row& row : rows) {
    const auto layer = Layer::create(LayerParams::create(row.type, row.keys).get(), row.name);
    model->add(layer, {});
    const auto weights = layer->variables().get("weights");
    const auto threshold = layer->variables().get("threshold");
    for (size_t i = 0; i < weights->size(); ++i)
      weights->mutable_data<int8_t>()[i] =
          row.type == LayerType::FullyConnected ? 0 : static_cast<int8_t>(next_random(state) & 1);
    for (size_t i = 0; i < threshold->size(); ++i) threshold->set<int32_t>(i, row.threshold);
    layer->variables().set("weights", weights);
    layer->variables().set("threshold", threshold);
  }
  model->compile(
      LearningParams::create(LearningType::MorlaUnsupervised, {{"num_weights", 12},
                                                               {"num_classes", 5},
                                                               {"initial_plasticity", 0.5},
                                                               {"learning_competition", 0},
                                                               {"min_plasticity", 0.1},
                                                               {"plasticity_decay", 0.25}}));
  return model;
}

std::shared_ptr<Dense> pixels(uint32_t frames, uint32_t seed) {
  auto inputs = Dense::create(TensorType::uint8, Shape{frames, 16, 16, 1}, Dense::Layout::RowMajor);
  for (size_t i = 0; i < inputs->size(); ++i)
    inputs->mutable_data<uint8_t>()[i] = static_cast<uint8_t>(next_random(seed));
  return inputs;
}

std::vector<uint8_t> bytes_of(const Tensor& tensor) {
  const auto* data = static_cast<const uint8_t*>(tensor.buffer().data());
  return {data, data + tensor.buffer().size()};
}

std::unique_ptr<Model> copy_of(const Model& model) {
  const auto bytes = model.serialize().to_vector();
  return Model::from_buffer(reinterpret_cast<const char*>(bytes.data()), bytes.size());
}

// What the model's own variables give, run in software.
std::vector<uint8_t> host_outputs(const Model& model, const std::shared_ptr<Dense>& inputs) {
  return bytes_of(*copy_of(model)->forward(inputs, 0));
}

sim::BoardConfig learning_board() {
  sim::BoardConfig config = sim::orbi_board(2);
  config.np_info[hw::Ident{2, 2, 0, 0}] |= 3u << 4;  // the FNP3
  return config;
}

// The board answers the program of the mapped `model` with the software run of `fresh`.
std::shared_ptr<sim::ProgramPlayer> play(sim::BoardSimulator& board, const Model& model,
                                         const Model& fresh) {
  const ByteRange program = model.sequences().at(0)->program();
  return sim::ProgramPlayer::install(board.memory(), sim::kRegistersBase,
                                     {{{program.data, program.data + program.size}, copy_of(fresh)}});
}

TEST(BoardLearning, ALinkFaultInAFitNeverLeavesTheBoardsValuesInUse) {
  sim::BoardSimulator board(learning_board(), false, test::short_deadlines());
  const auto driver = test::usb_driver_on(board);
  const auto device = std::make_shared<HostDevice>(HardwareDevice::create(driver.get()));
  const std::unique_ptr<Model> fresh = learning_model();
  const auto map = [&] {
    auto model = copy_of(*fresh);
    model->map(device, true, nullptr);
    return model;
  };
  const auto first = map();
  const auto player = play(board, *first, *fresh);
  const auto x = pixels(6, 5), later = pixels(6, 9);
  const std::vector<int32_t> labels = {0, 1, 2, 3, 4, 0};

  // A clean fit, for the frames of the board's run and of the read-back: those after the
  // command that starts the run.
  first->fit(x, labels, 0);
  const auto learned_once = host_outputs(*first, x);
  const size_t start = board.frames().size();
  first->fit(later, labels, 0);
  const auto frames = board.frames();
  size_t run = frames.size();
  while (frames[run - 1].command != bin::kWrite ||
         frames[run - 1].address != sim::kRegistersBase + engine::board::kCommand)
    --run;
  ASSERT_GT(run, start);
  // What the second fit learned shows in the outputs: a board left with it would show.
  ASSERT_NE(host_outputs(*first, x), learned_once);
  // Nothing else ran: the board keeps its program and what it learned.
  const size_t loads = player->loads();
  EXPECT_EQ(bytes_of(*first->forward(x, 0)), host_outputs(*first, x));
  EXPECT_EQ(player->loads(), loads);

  for (size_t frame = run - start + 1; frame <= frames.size() - start; ++frame) {
    SCOPED_TRACE(frame);
    const auto model = map();
    model->fit(x, labels, 0);  // learned values that a reload of the program loses
    board.inject_fault(sim::Fault::Silence, static_cast<uint32_t>(frame));
    testing::internal::CaptureStdout();
    EXPECT_THROW(model->fit(later, labels, 0), std::runtime_error);
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(bytes_of(*model->forward(x, 0)), host_outputs(*model, x));
  }
}

// A device of another engine on the board: every call reaches the board, but the model cannot
// count what changes the board, nor know what it read from it.
class UncountedDevice final : public HardwareDevice {
 public:
  explicit UncountedDevice(std::shared_ptr<HardwareDevice> board) : board_(std::move(board)) {}
  HwVersion version() const override { return board_->version(); }
  const char* desc() const override { return board_->desc(); }
  void set_clock_counter_enabled(bool on) override { board_->set_clock_counter_enabled(on); }
  uint32_t clock_counter() override { return board_->clock_counter(); }
  uint32_t program_clock_count() override { return board_->program_clock_count(); }
  DeviceMemory memory() override { return board_->memory(); }
  void reset_top_memory() override { board_->reset_top_memory(); }
  ByteRange program() const override { return board_->program(); }
  void set_program(const uint8_t* data, size_t size) override { board_->set_program(data, size); }
  void program_external(const uint8_t* data, size_t size, uint32_t address) override {
    board_->program_external(data, size, address);
  }
  void read_np_info(uint32_t* out, const hw::Ident* idents, size_t count) override {
    board_->read_np_info(out, idents, count);
  }
  void set_batch_size(size_t count, bool flag) override { board_->set_batch_size(count, flag); }
  void set_learn_enabled(bool on) override { board_->set_learn_enabled(on); }
  bool learn_enabled() const override { return board_->learn_enabled(); }
  size_t learn_mem_size() const override { return board_->learn_mem_size(); }
  void read_learn_mem(uint32_t* out) override { board_->read_learn_mem(out); }
  void update_learn_mem(const uint32_t* words) override { board_->update_learn_mem(words); }
  void unprogram() override { board_->unprogram(); }
  TensorResults fit(const TensorList& inputs, const std::vector<int32_t>& labels) override {
    return board_->fit(inputs, labels);
  }
  TensorResults forward(const TensorList& inputs) override { return board_->forward(inputs); }
  TensorResults predict(const TensorList& inputs) override { return board_->predict(inputs); }
  HardwareDriver* driver() const override { return board_->driver(); }

 private:
  std::shared_ptr<HardwareDevice> board_;
};

TEST(BoardLearning, WhatADeviceThatCountsNothingLearnedIsRefusedToRun) {
  sim::BoardSimulator board(learning_board(), false, test::short_deadlines());
  const auto driver = test::usb_driver_on(board);
  const auto device = std::make_shared<HostDevice>(
      std::make_shared<UncountedDevice>(HardwareDevice::create(driver.get())));
  const std::unique_ptr<Model> fresh = learning_model();
  const auto model = copy_of(*fresh);
  model->map(device, true, nullptr);
  const auto player = play(board, *model, *fresh);
  const auto x = pixels(6, 5);
  // The program's image runs: it is loaded again whenever the board may have changed.
  EXPECT_EQ(bytes_of(*model->forward(x, 0)), host_outputs(*model, x));
  EXPECT_EQ(bytes_of(*model->forward(x, 0)), host_outputs(*model, x));
  model->fit(x, {0, 1, 2, 3, 4, 0}, 0);
  // What it learned may be gone from the board, and the model cannot put it back.
  try {
    model->forward(x, 0);
    FAIL() << "ran what the board may no longer hold";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(),
                 "The model changed since it was mapped: map it again to run it on the device.");
  }
}

}  // namespace
}  // namespace morla
