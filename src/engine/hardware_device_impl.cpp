#include "engine/hardware_device_impl.h"

#include <algorithm>
#include <stdexcept>

#include "drivers/hardware_driver.h"
#include "engine/board_registers.h"

namespace morla {
namespace engine {
HardwareDeviceImpl::HardwareDeviceImpl(HardwareDriver* driver)
    : driver_(driver), version_(read_hw_version(*driver)) {}

const char* HardwareDeviceImpl::desc() const { return driver_->desc(); }

uint32_t HardwareDeviceImpl::register_address(uint32_t offset) const {
  return driver_->registers_base() + offset;
}

void HardwareDeviceImpl::set_clock_counter_enabled(bool enabled) {
  write_register(*driver_, register_address(board::kClockCounterControl), enabled ? 1u : 0u);
}

uint32_t HardwareDeviceImpl::clock_counter() {
  return read_register(*driver_, register_address(board::kClockCounter));
}

uint32_t HardwareDeviceImpl::program_clock_count() {
  return read_register(*driver_, register_address(board::kProgramClockCount));
}

void HardwareDeviceImpl::loaded(ByteRange program, const ProgramPlacement& placement) {
  BoardRun(*driver_).load(placement);
  // A load sets the learning memory to the program's image.
  learning_memory_changed_ = false;
  program_ = program;
  program_end_ = placement.end;
  memory_.used = placement.end - driver_->memory_base();
  memory_.top = std::max(memory_.top, memory_.used);
}

void HardwareDeviceImpl::forget_program() {
  ++changes_;
  program_ = ByteRange{};
  program_end_ = 0;
  memory_.used = 0;
}

void HardwareDeviceImpl::set_program(const uint8_t* data, size_t size) {
  forget_program();
  loaded(ByteRange{data, size}, BoardRun(*driver_).write_program(data, size));
}

void HardwareDeviceImpl::program_external(const uint8_t* data, size_t size, uint32_t address) {
  forget_program();
  loaded(ByteRange{data, size}, BoardRun(*driver_).write_external_info(data, size, address));
}

void HardwareDeviceImpl::set_learn_enabled(bool enabled) {
  BoardRun(*driver_).set_learn_enabled(enabled);
  learn_enabled_ = enabled;
}

void HardwareDeviceImpl::read_np_info(uint32_t* out, const hw::Ident* idents, size_t count) {
  for (size_t i = 0; i < count; ++i)
    out[i] = read_register(*driver_, register_address(board::np_info_offset(idents[i])));
}

size_t HardwareDeviceImpl::learn_mem_size() const {
  return read_register(*driver_, register_address(board::kLearnMemWords));
}

void HardwareDeviceImpl::read_learn_mem(uint32_t* out) {
  const size_t words = learn_mem_size();
  if (words) driver_->read(register_address(board::kLearnMem), out, words * sizeof(uint32_t));
  learn_mem_read_.assign(out, out + words);
  learn_mem_read_at_ = changes_;
}

const std::vector<uint32_t>* HardwareDeviceImpl::learn_mem_read() const {
  return learn_mem_read_at_ == changes_ ? &learn_mem_read_ : nullptr;
}

void HardwareDeviceImpl::update_learn_mem(const uint32_t* words) {
  ++changes_;
  learning_memory_changed_ = true;
  if (const size_t count = learn_mem_size())
    driver_->write(register_address(board::kLearnMem), words, count * sizeof(uint32_t));
}

void HardwareDeviceImpl::unprogram() {
  const bool programmed = program_.data != nullptr;
  forget_program();
  if (programmed) BoardRun(*driver_).unload();
}

TensorResults HardwareDeviceImpl::run(board::Command command, const TensorList& inputs,
                                      const std::vector<int32_t>& labels) {
  if (!program_.data) throw std::runtime_error("The device has no program to run.");
  return BoardRun(*driver_).run(command, inputs, labels, program_end_);
}

TensorResults HardwareDeviceImpl::fit(const TensorList& inputs,
                                      const std::vector<int32_t>& labels) {
  ++changes_;
  learning_memory_changed_ = true;
  return run(board::Command::Fit, inputs, labels);
}

TensorResults HardwareDeviceImpl::forward(const TensorList& inputs) {
  return run(board::Command::Forward, inputs, {});
}

TensorResults HardwareDeviceImpl::predict(const TensorList& inputs) {
  return run(board::Command::Predict, inputs, {});
}

}  // namespace engine

std::shared_ptr<HardwareDevice> HardwareDevice::create(HardwareDriver* driver) {
  return std::make_shared<engine::HardwareDeviceImpl>(driver);
}

HwVersion read_hw_version(const HardwareDriver& driver) {
  // Reading moves bytes through the driver's transport, which is not const.
  auto& reader = const_cast<HardwareDriver&>(driver);
  const uint32_t word = read_register(reader, driver.registers_base() + engine::board::kHwVersion);
  return HwVersion{static_cast<uint8_t>(word), static_cast<uint8_t>(word >> 8),
                   static_cast<uint8_t>(word >> 16), static_cast<uint8_t>(word >> 24)};
}

}  // namespace morla
