#include "engine/board_run.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <string>

#include "core/tensor_type.h"
#include "drivers/hardware_driver.h"
#include "drivers/register_poll.h"

namespace morla::engine {
namespace {

constexpr uint32_t align8(uint64_t value) {
  return static_cast<uint32_t>((value + 7) & ~uint64_t{7});
}

uint32_t checked_u32(uint64_t value, const char* what) {
  if (value > UINT32_MAX)
    throw std::invalid_argument(std::string(what) + " does not fit in the device memory.");
  return static_cast<uint32_t>(value);
}

// The length of the size-prefixed info at the start of a program, or the whole program
// when its first word cannot be one.
size_t info_length(const uint8_t* data, size_t size) {
  if (size < 4) return size;
  uint32_t prefix;
  std::memcpy(&prefix, data, 4);
  return uint64_t{prefix} + 4 <= size ? prefix + 4 : size;
}

}  // namespace

uint32_t BoardRun::reg(uint32_t offset) const { return driver_.registers_base() + offset; }

void BoardRun::write_reg(uint32_t offset, uint32_t value) {
  write_register(driver_, reg(offset), value);
}

uint32_t BoardRun::read_reg(uint32_t offset) { return read_register(driver_, reg(offset)); }

ProgramPlacement BoardRun::write_program(const uint8_t* data, size_t size) {
  if (size > driver_.memory_size())
    throw std::invalid_argument("The program does not fit in the device memory.");
  const uint32_t base = driver_.memory_base();
  driver_.write(base, data, size);
  const size_t info = info_length(data, size);
  ProgramPlacement placement;
  placement.info_address = base;
  placement.info_size = static_cast<uint32_t>(info);
  placement.data_address = info < size ? checked_u32(uint64_t{base} + info, "The program") : 0;
  placement.end = checked_u32(uint64_t{base} + size, "The program");
  return placement;
}

ProgramPlacement BoardRun::write_external_info(const uint8_t* info, size_t size, uint32_t address) {
  const uint64_t base = driver_.memory_base();
  const uint64_t window_end = base + driver_.memory_size();
  if (size > driver_.memory_size())
    throw std::invalid_argument("The program info does not fit in the device memory.");
  // The data the caller wrote is size-prefixed: its extent tells where the info may go.
  uint32_t data_prefix = 0;
  driver_.read(address, &data_prefix, sizeof data_prefix);
  const uint64_t data_end = uint64_t{address} + 4 + data_prefix;
  const bool overlaps = address < base + size && data_end > base;
  const uint64_t info_address = overlaps ? align8(data_end) : base;
  if (info_address + size > window_end)
    throw std::invalid_argument("The program info does not fit in the device memory.");
  driver_.write(static_cast<uint32_t>(info_address), info, size);
  ProgramPlacement placement;
  placement.info_address = static_cast<uint32_t>(info_address);
  placement.info_size = static_cast<uint32_t>(size);
  placement.data_address = address;
  uint64_t end = info_address + size;
  if (address >= base && data_end <= window_end) end = std::max(end, data_end);
  placement.end = static_cast<uint32_t>(end);
  return placement;
}

void BoardRun::load(const ProgramPlacement& placement) {
  write_reg(board::kProgramInfoAddress, placement.info_address);
  write_reg(board::kProgramInfoSize, placement.info_size);
  write_reg(board::kProgramDataAddress, placement.data_address);
  write_reg(board::kCommand, static_cast<uint32_t>(board::Command::Load));
}

void BoardRun::unload() {
  write_reg(board::kCommand, static_cast<uint32_t>(board::Command::Unprogram));
}

void BoardRun::set_learn_enabled(bool enabled) { write_reg(board::kLearnEnable, enabled ? 1 : 0); }

TensorResults BoardRun::run(board::Command command, const TensorList& inputs,
                            const std::vector<int32_t>& labels, uint32_t io_base) {
  if (inputs.empty()) return {};
  // Every frame has the first frame's type and shape.
  const auto first = Tensor::ensure_dense(inputs.front());
  if (!first) throw std::invalid_argument("A null input tensor cannot run on a device.");
  const Shape frame_shape = first->shape();
  if (frame_shape.size() > 3)
    throw std::invalid_argument("An input frame has at most three dimensions.");
  const size_t frame_bytes = first->buffer().size();
  const uint64_t window_end = uint64_t{driver_.memory_base()} + driver_.memory_size();
  uint64_t address = std::max<uint64_t>(align8(io_base), driver_.memory_base());
  const uint64_t input_address = address;
  if (input_address + uint64_t{frame_bytes} * inputs.size() > window_end)
    throw std::invalid_argument("The inputs do not fit in the device memory.");
  for (const auto& tensor : inputs) {
    const auto frame = Tensor::ensure_dense(tensor);
    if (!frame || frame->type() != first->type() || frame->shape() != frame_shape)
      throw std::invalid_argument("Every input frame of a run must have the same type and shape.");
    driver_.write(static_cast<uint32_t>(address), frame->buffer().data(), frame_bytes);
    address += frame_bytes;
  }
  address = align8(address);
  const uint64_t labels_address = address;
  if (labels_address + labels.size() * sizeof(int32_t) > window_end)
    throw std::invalid_argument("The labels do not fit in the device memory.");
  if (!labels.empty())
    driver_.write(static_cast<uint32_t>(address), labels.data(), labels.size() * sizeof(int32_t));
  address = align8(address + labels.size() * sizeof(int32_t));
  if (address >= window_end)
    throw std::invalid_argument("No device memory is left for the outputs.");
  const auto output_address = static_cast<uint32_t>(address);
  const auto output_limit =
      static_cast<uint32_t>(std::min<uint64_t>(window_end - address, UINT32_MAX));

  write_reg(board::kInputAddress, static_cast<uint32_t>(input_address));
  write_reg(board::kInputType, static_cast<uint32_t>(first->type()));
  for (uint32_t i = 0; i < 3; ++i)
    write_reg(board::kInputDims + 4 * i, i < frame_shape.size() ? frame_shape[i] : 0);
  write_reg(board::kInputFrameBytes, static_cast<uint32_t>(frame_bytes));
  write_reg(board::kFrameCount, static_cast<uint32_t>(inputs.size()));
  write_reg(board::kLabelsAddress, static_cast<uint32_t>(labels_address));
  write_reg(board::kLabelCount, static_cast<uint32_t>(labels.size()));
  write_reg(board::kOutputAddress, output_address);
  write_reg(board::kOutputLimit, output_limit);
  write_reg(board::kStatus, static_cast<uint32_t>(board::Status::Busy));
  write_reg(board::kCommand, static_cast<uint32_t>(command));
  wait_done();
  return read_outputs(output_address, output_limit, inputs.size());
}

void BoardRun::wait_done() {
  // Done and Error both have bit 1; Busy has not.
  constexpr uint32_t kFinished = 0x2;
  if (!poll_until(driver_, reg(board::kStatus), kFinished, deadline_after(timeout_ms_),
                  "the end of the run"))
    throw std::runtime_error("The device did not finish its run within " +
                             std::to_string(timeout_ms_) + " ms.");
  if (static_cast<board::Status>(read_reg(board::kStatus)) != board::Status::Done)
    throw std::runtime_error("The device reported an error while running its program.");
}

TensorResults BoardRun::read_outputs(uint32_t address, uint32_t limit, size_t frames) {
  const uint32_t type_code = read_reg(board::kOutputType);
  std::vector<uint32_t> dims;
  for (uint32_t i = 0; i < 3; ++i)
    if (const uint32_t d = read_reg(board::kOutputDims + 4 * i)) dims.push_back(d);
  const uint32_t frame_bytes = read_reg(board::kOutputFrameBytes);
  const auto type = static_cast<TensorType>(type_code);
  const size_t element =
      type_code <= static_cast<uint32_t>(TensorType::uint16) ? storage_size(type) : 0;
  if (element == 0 || dims.empty())
    throw std::runtime_error("The device described its outputs with an unknown type or shape.");
  const Shape shape(dims);
  if (uint64_t{shape.element_count()} * element != frame_bytes ||
      uint64_t{frame_bytes} * frames > limit)
    throw std::runtime_error("The device described outputs that do not match their size.");
  std::vector<char> bytes(size_t{frame_bytes} * frames);
  driver_.read(address, bytes.data(), bytes.size());
  TensorResults results;
  results.reserve(frames);
  for (size_t i = 0; i < frames; ++i)
    results.push_back(Dense::copy(bytes.data() + i * frame_bytes, frame_bytes, type, shape,
                                  Dense::Layout::RowMajor));
  return results;
}

}  // namespace morla::engine
