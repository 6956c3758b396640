// Running a batch on a hardware device, shaping its outputs, keeping a program's
// bytes alive, and finding a board's flash.
#include <gtest/gtest.h>

#include <stdexcept>

#include "engine_api/program_copy.h"
#include "devices/device_run.h"
#include "devices/flash_access.h"
#include "devices/host_device.h"
#include "soc_test_support.h"
#include "test_helpers.h"

namespace morla {
namespace {

// A device whose runs return prepared outputs and whose counter advances by a step.
class ScriptedDevice final : public HardwareDevice {
 public:
  HwVersion version() const override { return {}; }
  const char* desc() const override { return "scripted"; }
  void set_clock_counter_enabled(bool enabled) override { counting = enabled; }
  uint32_t clock_counter() override { return counter += counter_step; }
  uint32_t program_clock_count() override { return 0; }
  DeviceMemory memory() override { return {}; }
  void reset_top_memory() override {}
  ByteRange program() const override { return {}; }
  void set_program(const uint8_t*, size_t) override {}
  void program_external(const uint8_t*, size_t, uint32_t) override {}
  void read_np_info(uint32_t*, const hw::Ident*, size_t) override {}
  void set_batch_size(size_t count, bool) override { batch = count; }
  void set_learn_enabled(bool) override {}
  bool learn_enabled() const override { return false; }
  size_t learn_mem_size() const override { return 0; }
  void read_learn_mem(uint32_t*) override {}
  void update_learn_mem(const uint32_t*) override {}
  void unprogram() override {}
  TensorResults fit(const TensorList& inputs, const std::vector<int32_t>& given) override {
    labels = given;
    return run("fit", inputs);
  }
  TensorResults forward(const TensorList& inputs) override { return run("forward", inputs); }
  TensorResults predict(const TensorList& inputs) override { return run("predict", inputs); }
  HardwareDriver* driver() const override { return nullptr; }

  TensorResults run(const char* name, const TensorList& inputs) {
    called = name;
    frames = inputs.size();
    return outputs;
  }

  bool counting = false;
  uint32_t counter = 0xFFFFFFF0, counter_step = 0;
  size_t batch = 0, frames = 0;
  std::string called;
  std::vector<int32_t> labels;
  TensorResults outputs;
};

std::shared_ptr<Dense> dense(TensorType type, const Shape& shape) {
  return Dense::create(type, shape, Dense::Layout::RowMajor);
}

TEST(DeviceRun, RunsTheWholeBatchInOneCallByMode) {
  ScriptedDevice device;
  device.counter_step = 0x20;  // the count wraps between the two reads
  const auto inputs = dense(TensorType::uint8, {3, 2, 2, 1});
  for (const auto& [mode, name] : {std::pair{InferenceMode::Forward, "forward"},
                                   {InferenceMode::Predict, "predict"},
                                   {static_cast<InferenceMode>(7), "fit"}}) {
    const DeviceRun run = run_on_device(device, *inputs, {1}, mode);
    EXPECT_EQ(device.called, name);
    EXPECT_EQ(device.frames, 3u);
    EXPECT_EQ(device.batch, 3u);
    EXPECT_FALSE(device.counting);
    EXPECT_EQ(run.frames, 3u);
    EXPECT_EQ(run.clock_count, 0x20u);
    EXPECT_LE(run.start_ms, run.end_ms);
  }
  EXPECT_EQ(device.labels, std::vector<int32_t>{1});
}

TEST(DeviceRun, ChecksDimensionsAndLabelCounts) {
  ScriptedDevice device;
  EXPECT_THROW(
      run_on_device(device, *dense(TensorType::uint8, {2, 3, 4}), {}, InferenceMode::Forward),
      std::runtime_error);
  EXPECT_TRUE(device.called.empty());
  EXPECT_EQ(device.batch, 0u);
  const auto inputs = dense(TensorType::uint8, {3, 4});
  EXPECT_THROW(run_on_device(device, *inputs, {1, 2}, InferenceMode::Fit), std::runtime_error);
  EXPECT_TRUE(device.counting);  // left on, as the engine call never happened
  EXPECT_NO_THROW(run_on_device(device, *inputs, {1, 2, 3}, InferenceMode::Fit));
  EXPECT_NO_THROW(run_on_device(device, *inputs, {}, InferenceMode::Fit));
}

TEST(OutputArray, TakesItsShapeAndTypeFromTheFirstOutput) {
  const TensorResults outputs = {dense(TensorType::int32, {2, 3, 4}),
                                 dense(TensorType::int32, {4, 3, 2})};
  const OutputArray array = describe_output_array(outputs);
  EXPECT_EQ(array.dtype, "int32");
  EXPECT_EQ(array.item_size, 4u);
  EXPECT_EQ(array.shape, Shape({2, 2, 3, 4}));
  EXPECT_EQ(array.frame_bytes, 96u);
  EXPECT_EQ(array.frames.size(), 2u);
  EXPECT_EQ(describe_output_array({dense(TensorType::bit, {1, 1, 8})}).dtype, "uint8");
}

TEST(OutputArray, RefusesOutputsThatWouldNotFitTheArray) {
  const auto first = dense(TensorType::uint8, {2, 2, 2});
  for (const TensorResults& outputs :
       {TensorResults{first, dense(TensorType::uint8, {2, 2, 4})},
        TensorResults{first, dense(TensorType::int8, {2, 2, 2})}, TensorResults{first, nullptr},
        TensorResults{dense(TensorType::uint8, {2, 2, 2, 2})}}) {
    EXPECT_THROW(describe_output_array(outputs), std::runtime_error);
  }
}

TEST(OutputArray, RefusesTypesWithoutAnArrayTypeAndShortShapes) {
  EXPECT_EQ(test::error_text<std::runtime_error>([&] {
              describe_output_array({dense(TensorType::int16, {1, 2, 3})});
            }),
            "Unexpected output type.");
  EXPECT_EQ(test::error_text<std::runtime_error>([&] {
              describe_output_array({dense(TensorType::uint8, {4, 5})});
            }),
            "Cannot have a shape with dimension 3 set to 0");
}

class ProgramCopyOnBoard : public testing::Test {
 protected:
  ProgramCopyOnBoard() : device_(HardwareDevice::create(board_.driver.get())) {}
  test::SocBoard board_;
  std::shared_ptr<HardwareDevice> device_;
  const std::vector<uint8_t> bytes_ = {1, 2, 3, 4, 5};
};

TEST_F(ProgramCopyOnBoard, TheDeviceRunsFromTheCopyNotTheCallersBytes) {
  ProgramCopy copy;
  {
    std::vector<uint8_t> caller = bytes_;
    copy.program(*device_, caller.data(), caller.size());
  }
  EXPECT_EQ(device_->program().data, copy.bytes().data());
  EXPECT_EQ(std::vector<uint8_t>(device_->program().data, device_->program().data + 5), bytes_);
  copy.unprogram(*device_);
  EXPECT_EQ(device_->program().data, nullptr);
  EXPECT_TRUE(copy.bytes().empty());
}

TEST_F(ProgramCopyOnBoard, ReleasingUnprogramsOnlyWhileTheDeviceUsesTheCopy) {
  {
    ProgramCopy copy;
    copy.program(*device_, bytes_.data(), bytes_.size());
    copy.release(device_.get());
  }
  EXPECT_EQ(device_->program().data, nullptr);

  ProgramCopy other;
  other.program(*device_, bytes_.data(), bytes_.size());
  {
    ProgramCopy copy;
    copy.program(*device_, bytes_.data(), bytes_.size());
    other.program(*device_, bytes_.data(), bytes_.size());  // someone else programs
    copy.release(device_.get());
  }
  EXPECT_EQ(device_->program().data, other.bytes().data());
  {
    ProgramCopy external;
    external.program_external(*device_, bytes_.data(), bytes_.size(), 0x25000000);
    external.release(device_.get());
  }
  EXPECT_EQ(device_->program().data, nullptr);
}

class FlashDriver final : public sim::MemoryDriver, public FlashAccessDriver {
 public:
  using MemoryDriver::MemoryDriver;
  std::shared_ptr<SpiFlashController> flash() override { return controller; }
  std::shared_ptr<SpiFlashController> controller = std::make_shared<SpiFlashController>();
};

class NoHardware final : public Device {
 public:
  HwVersion version() const override { return {}; }
  const char* desc() const override { return "none"; }
  const Mesh& mesh() const override { throw std::logic_error("no mesh"); }
  HardwareDevice* hardware() const override { return nullptr; }
};

void expect_no_flash(const Device& device) {
  EXPECT_EQ(test::error_text<std::invalid_argument>([&] { get_board_flash(device); }),
            "The device does not contain an MRL7700 flash");
}

TEST(BoardFlash, IsFoundOnlyThroughAFlashAccessDriver) {
  expect_no_flash(NoHardware());
  test::SocBoard board;
  expect_no_flash(HostDevice(HardwareDevice::create(board.driver.get())));
  FlashDriver driver(board.memory);
  const HostDevice device(HardwareDevice::create(&driver));
  EXPECT_EQ(get_board_flash(device), driver.controller);
  EXPECT_THROW(driver.controller->get_id(), std::runtime_error);
}

}  // namespace
}  // namespace morla
