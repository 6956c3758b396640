#include "soc_models.h"

#include "board_config.h"

namespace morla::sim {
namespace {

constexpr uint32_t kDone = 1u << 0;
constexpr uint32_t kTransfer = 1u << 4;
constexpr uint32_t kControlError = 1u << 7;
constexpr uint32_t kBusTaken = 1u << 7;
constexpr uint32_t kNoAcknowledge = 1u << 4;
constexpr uint32_t kSetupValid = 1u << 5;
constexpr uint32_t kStartCommand = 1u << 29;
constexpr uint32_t kNoAckError = 4;

uint32_t word_at(const std::map<uint32_t, uint32_t>& words, uint32_t address) {
  const auto it = words.find(address);
  return it == words.end() ? 0 : it->second;
}

}  // namespace

uint32_t ClockBlock::read_word(uint32_t address) {
  std::lock_guard lock(mutex_);
  if (address == kClockCoreDivider) return active_divider_;
  if (address != kClockChange) return word_at(words_, address);
  if (!changing_) return 0;
  if (reads_left_ == 0) {
    changing_ = false;
    active_divider_ = word_at(words_, kClockCoreDivider) & 0xFF;
    return 0;
  }
  if (reads_left_ > 0) --reads_left_;
  return 1;
}

void ClockBlock::write_word(uint32_t address, uint32_t value) {
  std::lock_guard lock(mutex_);
  ++writes_;
  words_[address] = value;
  if (address == kClockChange && (value & 1) && !changing_) {
    changing_ = true;
    reads_left_ = settle_reads_;
  }
}

void ClockBlock::set_stuck_changing() {
  std::lock_guard lock(mutex_);
  changing_ = true;
  reads_left_ = -1;
}

uint32_t ClockBlock::written(uint32_t address) const {
  std::lock_guard lock(mutex_);
  return word_at(words_, address);
}

uint16_t PowerMonitor::value_of(uint8_t reg) const {
  if (reg == config_register()) return configuration_;
  if (chip_ == MonitorChip::Ina233) {
    switch (reg) {
      case 0x88: return voltage_steps_;
      case 0xD1: return current_steps_;
      case 0xE1: return '3' | '3' << 8;
    }
  } else {
    switch (reg) {
      case 0x01: return current_steps_;
      case 0x02: return voltage_steps_;
    }
  }
  return 0xFFFF;
}

std::vector<uint8_t> PowerMonitor::read_register(uint8_t reg, size_t count) {
  const uint16_t value = value_of(reg);
  const uint8_t low = static_cast<uint8_t>(value), high = static_cast<uint8_t>(value >> 8);
  std::vector<uint8_t> bytes(count, 0xFF);
  if (count > 0) bytes[0] = chip_ == MonitorChip::Ina233 ? low : high;
  if (count > 1) bytes[1] = chip_ == MonitorChip::Ina233 ? high : low;
  return bytes;
}

void PowerMonitor::write_register(uint8_t reg, const std::vector<uint8_t>& bytes) {
  if (reg != config_register() || bytes.size() < 2) return;
  configuration_ = chip_ == MonitorChip::Ina233 ? static_cast<uint16_t>(bytes[0] | bytes[1] << 8)
                                                : static_cast<uint16_t>(bytes[0] << 8 | bytes[1]);
}

void PowerMonitor::set_readings(uint16_t voltage_steps, uint16_t current_steps) {
  voltage_steps_ = voltage_steps;
  current_steps_ = current_steps;
}

// I2C: setting the transfer bit sends the address byte held in the data register,
// clearing the done bit moves one data byte, clearing the transfer bit stops.
uint32_t I2cMaster::read_word(uint32_t address) {
  std::lock_guard lock(mutex_);
  if (address == kI2cStatus) return status_ | (fault_ == I2cFault::Busy ? kBusTaken : 0);
  if (address == kI2cControl) return control_;
  return word_at(words_, address);
}

void I2cMaster::write_word(uint32_t address, uint32_t value) {
  std::lock_guard lock(mutex_);
  if (address != kI2cControl) {
    if (address == kI2cSetup && value == 0x71) ++setups_;
    words_[address] = value;
    return;
  }
  const uint32_t old = control_;
  control_ = value;
  if (!(old & kTransfer) && (value & kTransfer))
    start();
  else if ((old & kTransfer) && !(value & kTransfer))
    stop();
  else if ((value & kTransfer) && (old & kDone) && !(value & kDone))
    transfer_byte();
}

void I2cMaster::attach(uint8_t address, std::shared_ptr<PowerMonitor> device) {
  std::lock_guard lock(mutex_);
  devices_[address] = std::move(device);
}

void I2cMaster::set_fault(I2cFault fault, int count) {
  std::lock_guard lock(mutex_);
  fault_ = fault;
  fault_count_ = count;
}

bool I2cMaster::take_fault(I2cFault fault) {
  if (fault_ != fault || fault_count_ == 0) return false;
  if (fault_count_ > 0 && --fault_count_ == 0) fault_ = I2cFault::None;
  return true;
}

void I2cMaster::start() {
  ++address_phases_;
  const I2cFault fault = fault_;
  if (take_fault(I2cFault::Hang) || take_fault(I2cFault::HangWithError)) {
    control_ &= ~kDone;
    if (fault == I2cFault::HangWithError) control_ |= kControlError;
    return;
  }
  control_ |= kDone;
  active_ = nullptr;
  const uint8_t byte = static_cast<uint8_t>(word_at(words_, kI2cData));
  if (!(word_at(words_, kI2cSetup) & kSetupValid) || take_fault(I2cFault::LostBus)) {
    status_ = 0;
    return;
  }
  status_ = kBusTaken;
  const auto device = devices_.find(byte >> 1);
  if (device == devices_.end() || !device->second->answering() || take_fault(I2cFault::Nak)) {
    status_ |= kNoAcknowledge;
    return;
  }
  active_ = device->second.get();
  active_address_ = byte >> 1;
  reading_ = byte & 1;
  bytes_.clear();
  read_position_ = 0;
  if (reading_) bytes_ = active_->read_register(pointers_[active_address_], 8);
}

void I2cMaster::transfer_byte() {
  if (fault_ == I2cFault::Hang || fault_ == I2cFault::HangWithError) {
    control_ &= ~kDone;
    return;
  }
  control_ |= kDone;
  if (!active_) {
    status_ |= kNoAcknowledge;
  } else if (reading_) {
    words_[kI2cData] = read_position_ < bytes_.size() ? bytes_[read_position_++] : 0xFF;
  } else {
    bytes_.push_back(static_cast<uint8_t>(word_at(words_, kI2cData)));
  }
}

void I2cMaster::stop() {
  if (active_ && !reading_ && !bytes_.empty()) {
    pointers_[active_address_] = bytes_[0];
    if (bytes_.size() > 1) active_->write_register(bytes_[0], {bytes_.begin() + 1, bytes_.end()});
  }
  if (active_ && reading_ && pointers_[active_address_] == lose_setup_reg_) {
    words_[kI2cSetup] = 0;
    lose_setup_reg_ = -1;
  }
  active_ = nullptr;
  status_ = 0;
}

void I2cMaster::lose_setup_after_reading(uint8_t reg) {
  std::lock_guard lock(mutex_);
  lose_setup_reg_ = reg;
}

// I3C: a command runs when the start bit is set, taking its data from the
// transmit queue and leaving a response (and read data) in the queues.
uint32_t I3cMaster::read_word(uint32_t address) {
  std::lock_guard lock(mutex_);
  const auto pop = [](std::deque<uint32_t>& queue) {
    if (queue.empty()) return 0u;
    const uint32_t word = queue.front();
    queue.pop_front();
    return word;
  };
  switch (address) {
    case kI3cStatus:
      return (responses_.empty() ? 1u : 0u) | (rx_.empty() ? 4u : 0u) |
             (fault_ == I3cFault::Stalled ? 0u : 1u << 18);
    case kI3cEvents:
      return (responses_.empty() ? 2u : 0u) | (done_ ? 4u : 0u) | (rx_.empty() ? 64u : 0u);
    case kI3cResponse: return pop(responses_);
    case kI3cRxData: return pop(rx_);
  }
  return word_at(words_, address);
}

void I3cMaster::write_word(uint32_t address, uint32_t value) {
  std::lock_guard lock(mutex_);
  switch (address) {
    case kI3cTxData: tx_.push_back(value); return;
    case kI3cEventControl:
      if (value & 4) done_ = false;
      break;
    case kI3cDeviceAddress: registrations_.push_back(static_cast<uint8_t>(value >> 1)); break;
    case kI3cControl:
      words_[address] = value & ~kStartCommand;
      if (value & kStartCommand && fault_ != I3cFault::Stalled) execute();
      return;
  }
  words_[address] = value;
}

void I3cMaster::execute() {
  const uint32_t word0 = word_at(words_, kI3cCommand0), word1 = word_at(words_, kI3cCommand1);
  const bool read = word0 & 1;
  const uint32_t length = word0 >> 12 & 0xFFF;
  const uint8_t reg = static_cast<uint8_t>(word1);
  uint32_t id = word1 >> 24;
  last_tx_.assign(tx_.begin(), tx_.end());
  std::vector<uint8_t> data;
  for (const uint32_t word : tx_)
    for (int k = 0; k < 4; ++k) data.push_back(static_cast<uint8_t>(word >> (8 * k)));
  tx_.clear();

  uint32_t error = 0, answered = length;
  const auto device = devices_.find(word0 >> 1 & 0x7F);
  if (device == devices_.end() || !device->second->answering()) {
    error = kNoAckError;
    answered = 0;
  } else if (read) {
    const auto bytes = device->second->read_register(reg, length);
    for (size_t i = 0; i < bytes.size(); i += 4) {
      uint32_t word = 0;
      for (size_t k = 0; k < 4 && i + k < bytes.size(); ++k)
        word |= uint32_t{bytes[i + k]} << (8 * k);
      rx_.push_back(word);
    }
  } else {
    data.resize(length);
    device->second->write_register(reg, data);
  }
  if (fault_ == I3cFault::WrongIdentifier) id = (id + 1) & 0xFF;
  if (fault_ == I3cFault::WrongLength && read) answered += 1;
  responses_.push_back(id | (answered & 0xFFF) << 8 | error << 24);
  done_ = true;
}

void I3cMaster::attach(uint8_t address, std::shared_ptr<PowerMonitor> device) {
  std::lock_guard lock(mutex_);
  devices_[address] = std::move(device);
}

void I3cMaster::set_fault(I3cFault fault) {
  std::lock_guard lock(mutex_);
  fault_ = fault;
  if (fault == I3cFault::StaleQueues) {
    responses_.push_back(0x1234);
    rx_.push_back(0x5678);
  }
}

std::vector<uint8_t> I3cMaster::registrations() const {
  std::lock_guard lock(mutex_);
  return registrations_;
}

std::vector<uint32_t> I3cMaster::last_tx() const {
  std::lock_guard lock(mutex_);
  return last_tx_;
}

}  // namespace morla::sim
