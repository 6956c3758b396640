// The run protocol between the stand-in engine's hardware device and a board, played by
// the simulator's program player: programs, runs, outputs, errors and learning memory.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#include "board_config.h"
#include "engine_api/hardware_device.h"
#include "engine_api/layer.h"
#include "engine_api/layer_params.h"
#include "engine_api/model.h"
#include "engine_api/variables.h"
#include "engine/board_registers.h"
#include "engine/board_run.h"
#include "hwmap_test_support.h"
#include "memory_driver.h"
#include "program_player.h"

namespace morla {
namespace {

namespace board = engine::board;

TensorList frames_of(const Dense& batch) { return Dense::split(batch); }

class BoardRunProtocol : public testing::Test {
 protected:
  BoardRunProtocol() : program_(test::program_with_marker(7)), model_(test::dense_model()) {
    sim::load_board(memory_, sim::orbi_board(1));
    player_ = sim::ProgramPlayer::install(memory_, sim::kRegistersBase, {{program_, model_}});
    driver_ = std::make_unique<sim::MemoryDriver>(memory_);
    device_ = HardwareDevice::create(driver_.get());
  }

  // The software outputs of the whole batch, frame by frame.
  std::vector<std::vector<uint8_t>> expected(const Dense& inputs) {
    const auto out = model_->forward(
        Dense::copy(static_cast<const char*>(inputs.buffer().data()), inputs.buffer().size(),
                    inputs.type(), inputs.shape(), Dense::Layout::RowMajor),
        0);
    std::vector<std::vector<uint8_t>> frames;
    const size_t bytes = out->buffer().size() / out->shape()[0];
    for (uint32_t i = 0; i < out->shape()[0]; ++i) {
      const auto* p = static_cast<const uint8_t*>(out->buffer().data()) + i * bytes;
      frames.emplace_back(p, p + bytes);
    }
    return frames;
  }

  static std::vector<uint8_t> bytes_of(const Tensor& tensor) {
    const auto* p = static_cast<const uint8_t*>(tensor.buffer().data());
    return {p, p + tensor.buffer().size()};
  }

  sim::BoardMemory memory_;
  std::vector<uint8_t> program_;
  std::shared_ptr<Model> model_;
  std::shared_ptr<sim::ProgramPlayer> player_;
  std::unique_ptr<sim::MemoryDriver> driver_;
  std::shared_ptr<HardwareDevice> device_;
};

TEST_F(BoardRunProtocol, AKnownProgramAnswersEveryFrameWithItsModel) {
  device_->set_program(program_.data(), program_.size());
  EXPECT_EQ(player_->loads(), 1u);
  const auto inputs = test::dense_model_inputs(3);
  const auto outputs = device_->forward(frames_of(*inputs));
  const auto want = expected(*inputs);
  ASSERT_EQ(outputs.size(), 3u);
  for (size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(outputs[i]->type(), TensorType::int8);
    EXPECT_EQ(outputs[i]->shape(), (Shape{1, 1, 3}));
    EXPECT_EQ(bytes_of(*outputs[i]), want[i]) << "frame " << i;
  }
  // The memory in use covers the program and nothing of the run.
  EXPECT_EQ(device_->memory().used, program_.size());
}

TEST_F(BoardRunProtocol, AnUnknownProgramEndsTheRunWithADeviceError) {
  auto other = test::program_with_marker(8);
  device_->set_program(other.data(), other.size());
  EXPECT_THROW(device_->forward(frames_of(*test::dense_model_inputs(1))), std::runtime_error);
  device_->unprogram();
  EXPECT_THROW(device_->forward(frames_of(*test::dense_model_inputs(1))), std::runtime_error);
  // Bytes that are no program at all load (and fail) the same way.
  const uint8_t garbage[5] = {0xFF, 0xFF, 0xFF, 0xFF, 1};
  device_->set_program(garbage, sizeof garbage);
  EXPECT_THROW(device_->forward(frames_of(*test::dense_model_inputs(1))), std::runtime_error);
}

TEST_F(BoardRunProtocol, ExternalProgramsUseTheCallersDataAndWriteNothingOverIt) {
  const size_t info = 4 + program_[0] + (program_[1] << 8);
  for (const uint32_t address :
       {driver_->memory_base(), driver_->memory_base() + 0x1000u, 0x25000000u}) {
    const std::vector<uint8_t> data(program_.begin() + static_cast<ptrdiff_t>(info),
                                    program_.end());
    memory_.write(address, data.data(), data.size());
    device_->program_external(program_.data(), info, address);
    std::vector<uint8_t> back(data.size());
    memory_.read(address, back.data(), back.size());
    EXPECT_EQ(back, data) << std::hex << address;
    EXPECT_EQ(device_->program().data, program_.data());
    EXPECT_EQ(device_->program().size, info);
    const auto inputs = test::dense_model_inputs(2);
    const auto outputs = device_->forward(frames_of(*inputs));
    ASSERT_EQ(outputs.size(), 2u);
    EXPECT_EQ(bytes_of(*outputs[1]), expected(*inputs)[1]);
    memory_.read(address, back.data(), back.size());
    EXPECT_EQ(back, data) << "the run's frames went over the program data";
  }
}

TEST_F(BoardRunProtocol, ALyingOutputDescriptionIsRefused) {
  // A board that reports a frame size other than its type and shape give.
  struct Liar final : sim::RegisterHandler {
    uint32_t read_word(uint32_t) override { return 5; }
    void write_word(uint32_t, uint32_t) override {}
  };
  memory_.add_handler(sim::kRegistersBase + board::kOutputFrameBytes, 4, std::make_shared<Liar>());
  device_->set_program(program_.data(), program_.size());
  EXPECT_THROW(device_->forward(frames_of(*test::dense_model_inputs(1))), std::runtime_error);
}

TEST_F(BoardRunProtocol, ARunThatNeverEndsMeetsTheDeadline) {
  struct Stuck final : sim::RegisterHandler {
    uint32_t read_word(uint32_t) override { return static_cast<uint32_t>(board::Status::Busy); }
    void write_word(uint32_t, uint32_t) override {}
  };
  memory_.add_handler(sim::kRegistersBase + board::kStatus, 4, std::make_shared<Stuck>());
  engine::BoardRun run(*driver_, 200);
  run.load(run.write_program(program_.data(), program_.size()));
  const auto start = std::chrono::steady_clock::now();
  EXPECT_THROW(run.run(board::Command::Forward, frames_of(*test::dense_model_inputs(1)), {}, 0),
               std::runtime_error);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
}

TEST_F(BoardRunProtocol, LearningFlagAndFramesOfMixedShapes) {
  device_->set_program(program_.data(), program_.size());
  device_->set_learn_enabled(true);
  EXPECT_TRUE(device_->learn_enabled());
  EXPECT_EQ(memory_.read_word(sim::kRegistersBase + board::kLearnEnable), 1u);
  TensorList mixed = frames_of(*test::dense_model_inputs(1));
  mixed.push_back(Dense::create(TensorType::uint8, Shape{2, 2, 2}, Dense::Layout::RowMajor));
  EXPECT_THROW(device_->forward(mixed), std::invalid_argument);
  EXPECT_TRUE(device_->forward({}).empty());
}

}  // namespace
}  // namespace morla
