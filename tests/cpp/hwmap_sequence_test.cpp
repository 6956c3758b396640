// Hardware sequences on a simulated board: names, program parts, lazy programming, the
// choice of run, and unprogramming when the sequence goes.
#include <gtest/gtest.h>

#include <cstring>
#include <stdexcept>

#include "board_config.h"
#include "core/device_versions.h"
#include "engine_api/hardware_device.h"
#include "core/virtual_device.h"
#include "devices/host_device.h"
#include "hwmap/hardware_sequence.h"
#include "hwmap_test_support.h"
#include "memory_driver.h"
#include "program_player.h"

namespace morla {
namespace {

class HardwareSequenceOnABoard : public testing::Test {
 protected:
  HardwareSequenceOnABoard()
      : program_(test::program_with_marker(3)),
        other_(test::program_with_marker(4)),
        model_(test::dense_model()) {
    sim::load_board(memory_, sim::orbi_board(1));
    player_ = sim::ProgramPlayer::install(memory_, sim::kRegistersBase,
                                          {{program_, model_}, {other_, model_}});
    driver_ = std::make_unique<sim::MemoryDriver>(memory_);
    device_ = std::make_shared<HostDevice>(HardwareDevice::create(driver_.get()));
  }

  std::shared_ptr<HardwareSequence> sequence(const std::vector<uint8_t>& program,
                                             std::vector<std::shared_ptr<Layer>> layers) {
    return std::make_shared<HardwareSequence>(device_, nullptr, std::move(layers),
                                              std::vector<std::shared_ptr<Sequence::Pass>>{},
                                              program);
  }

  sim::BoardMemory memory_;
  std::vector<uint8_t> program_, other_;
  std::shared_ptr<Model> model_;
  std::shared_ptr<sim::ProgramPlayer> player_;
  std::unique_ptr<sim::MemoryDriver> driver_;
  std::shared_ptr<Device> device_;
};

TEST_F(HardwareSequenceOnABoard, NamesAndProgramParts) {
  EXPECT_EQ(sequence(program_, {model_->layers()[1]})->name(), "HW/dense");
  const auto seq = sequence(program_, model_->layers());
  EXPECT_EQ(seq->name(), "HW/in-dense");
  EXPECT_EQ(seq->backend(), BackendType::Hardware);
  const auto parts = seq->program_parts();
  uint32_t length;
  std::memcpy(&length, program_.data(), 4);
  EXPECT_EQ(parts.program_info.data, seq->program().data);
  EXPECT_EQ(parts.program_info.size, length + 4u);
  EXPECT_EQ(parts.program_data.data, seq->program().data + length + 4);
  EXPECT_EQ(parts.program_info.size + parts.program_data.size, program_.size());
}

TEST_F(HardwareSequenceOnABoard, ProgramsOnlyWhenItsProgramIsNotLoaded) {
  const auto seq = sequence(program_, model_->layers());
  const auto inputs = test::dense_model_inputs(2);
  const auto expected = model_->forward(inputs, 0);
  for (int run = 0; run < 2; ++run) {
    const auto outputs = seq->forward(Dense::split(*inputs), nullptr);
    ASSERT_EQ(outputs.size(), 2u);
    EXPECT_EQ(std::memcmp(outputs[1]->buffer().data(),
                          static_cast<const char*>(expected->buffer().data()) + 3, 3),
              0);
  }
  EXPECT_EQ(player_->loads(), 1u);
  // The same size, other bytes: programmed again.
  device_->hardware()->set_program(other_.data(), other_.size());
  ASSERT_EQ(other_.size(), program_.size());
  seq->forward(Dense::split(*inputs), nullptr);
  EXPECT_EQ(player_->loads(), 3u);
  EXPECT_EQ(device_->hardware()->program().data, seq->program().data);
}

TEST_F(HardwareSequenceOnABoard, GoingAwayUnprogramsOnlyItsOwnProgram) {
  auto seq = sequence(program_, model_->layers());
  seq->forward(Dense::split(*test::dense_model_inputs(1)), nullptr);
  seq.reset();
  EXPECT_EQ(device_->hardware()->program().data, nullptr);
  auto first = sequence(program_, model_->layers());
  auto second = sequence(other_, model_->layers());
  first->forward(Dense::split(*test::dense_model_inputs(1)), nullptr);
  second->forward(Dense::split(*test::dense_model_inputs(1)), nullptr);
  first.reset();
  EXPECT_EQ(device_->hardware()->program().data, second->program().data);
}

TEST_F(HardwareSequenceOnABoard, APredictionRunsForADequantizedOutput) {
  auto dequantizer = test::make_layer(LayerType::Dequantizer, {}, "deq");
  // The board's answer to a predict is the model's float prediction.
  const auto seq = sequence(program_, {model_->layers()[0], dequantizer});
  const auto outputs = seq->forward(Dense::split(*test::dense_model_inputs(1)), nullptr);
  ASSERT_EQ(outputs.size(), 1u);
  EXPECT_EQ(outputs[0]->type(), TensorType::float32);
  EXPECT_EQ(sequence(program_, model_->layers())
                ->forward(Dense::split(*test::dense_model_inputs(1)), nullptr)[0]
                ->type(),
            TensorType::int8);
}

TEST(HardwareSequence, NeedsAnActualHardwareDevice) {
  const Mesh mesh(IpVersion::v1, hw::Ident{1, 1, 0, 0}, hw::Ident{1, 1, 1, 0}, np::Info::hrc(false),
                  {np::Info{hw::Ident{1, 2, 0, 0}, {hw::Type::CNP1}, false}}, {});
  HardwareSequence seq(make_virtual_device(devices::Orbi_v1, mesh), nullptr, {}, {},
                       test::program_with_marker(1));
  try {
    seq.forward({}, nullptr);
    FAIL() << "ran without hardware";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "An actual hardware device is required.");
  }
}

}  // namespace
}  // namespace morla
