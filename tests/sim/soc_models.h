#pragma once
// Register models of the SoC peripherals a host driver reaches: the clock block,
// the I2C and I3C master controllers and the INA power monitor behind them, each
// with the faults tests inject.
#include <atomic>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "board_memory.h"

namespace morla::sim {

// The clock block: a change started through the control bit completes after a
// number of reads of that bit, and only then does the new divider show.
class ClockBlock final : public RegisterHandler {
 public:
  uint32_t read_word(uint32_t address) override;
  void write_word(uint32_t address, uint32_t value) override;

  // Reads of the busy change bit before it clears; negative: it never clears.
  void set_settle_reads(int reads) { settle_reads_ = reads; }
  // A change that is in progress and never completes.
  void set_stuck_changing();
  // The last word written at `address` (0 when never written).
  uint32_t written(uint32_t address) const;
  size_t writes() const { return writes_; }

 private:
  mutable std::mutex mutex_;
  std::map<uint32_t, uint32_t> words_;
  uint32_t active_divider_ = 1;  // 300 MHz
  bool changing_ = false;
  int reads_left_ = 0;
  std::atomic<int> settle_reads_{2};
  std::atomic<size_t> writes_{0};
};

enum class MonitorChip { Ina231, Ina233 };

// A current/voltage monitor's registers, 16 bits each, in its byte order.
class PowerMonitor {
 public:
  explicit PowerMonitor(MonitorChip chip) : chip_(chip) {}
  MonitorChip chip() const { return chip_; }
  std::vector<uint8_t> read_register(uint8_t reg, size_t count);
  void write_register(uint8_t reg, const std::vector<uint8_t>& bytes);

  // Raw register values: bus voltage in 1.25 mV steps, current in 2.5 mA steps.
  void set_readings(uint16_t voltage_steps, uint16_t current_steps);
  // A monitor that stops answering: its address is no longer acknowledged.
  void set_answering(bool answering) { answering_ = answering; }
  bool answering() const { return answering_; }
  // The configuration register as the monitor understood it (0 until written).
  uint16_t configuration() const { return configuration_; }

 private:
  uint8_t config_register() const { return chip_ == MonitorChip::Ina233 ? 0xD0 : 0x00; }
  uint16_t value_of(uint8_t reg) const;

  const MonitorChip chip_;
  std::atomic<uint16_t> voltage_steps_{960};
  std::atomic<uint16_t> current_steps_{200};
  std::atomic<uint16_t> configuration_{0};
  std::atomic<bool> answering_{true};
};

enum class I2cFault {
  None,
  Nak,            // address phases are not acknowledged
  LostBus,        // the address phase does not take the bus
  Busy,           // the bus stays taken
  Hang,           // phases never finish, error bit clear
  HangWithError,  // phases never finish, error bit set
};

class I2cMaster final : public RegisterHandler {
 public:
  uint32_t read_word(uint32_t address) override;
  void write_word(uint32_t address, uint32_t value) override;

  void attach(uint8_t address, std::shared_ptr<PowerMonitor> device);
  // `fault` meets the next `count` address phases (negative: all of them).
  void set_fault(I2cFault fault, int count = -1);
  // The set-up word is lost once a read of register `reg` has ended (once).
  void lose_setup_after_reading(uint8_t reg);
  size_t setups() const { return setups_; }
  size_t address_phases() const { return address_phases_; }

 private:
  bool take_fault(I2cFault fault);
  void start();
  void transfer_byte();
  void stop();

  mutable std::recursive_mutex mutex_;
  std::map<uint8_t, std::shared_ptr<PowerMonitor>> devices_;
  std::map<uint8_t, uint8_t> pointers_;
  std::map<uint32_t, uint32_t> words_;
  uint32_t status_ = 0;
  uint32_t control_ = 0;
  I2cFault fault_ = I2cFault::None;
  int fault_count_ = 0;
  int lose_setup_reg_ = -1;
  PowerMonitor* active_ = nullptr;
  uint8_t active_address_ = 0;
  bool reading_ = false;
  std::vector<uint8_t> bytes_;
  size_t read_position_ = 0;
  std::atomic<size_t> setups_{0};
  std::atomic<size_t> address_phases_{0};
};

enum class I3cFault {
  None,
  WrongIdentifier,  // responses carry another command's identifier
  WrongLength,      // read responses announce another length
  StaleQueues,      // a response and a receive word are left over at set-up
  Stalled,          // never idle, and a started command never completes
};

class I3cMaster final : public RegisterHandler {
 public:
  uint32_t read_word(uint32_t address) override;
  void write_word(uint32_t address, uint32_t value) override;

  void attach(uint8_t address, std::shared_ptr<PowerMonitor> device);
  void set_fault(I3cFault fault);
  // Addresses written to the device-address register, in order.
  std::vector<uint8_t> registrations() const;
  // Transmit words of the last command.
  std::vector<uint32_t> last_tx() const;

 private:
  void execute();

  mutable std::recursive_mutex mutex_;
  std::map<uint8_t, std::shared_ptr<PowerMonitor>> devices_;
  std::map<uint32_t, uint32_t> words_;
  std::deque<uint32_t> tx_, rx_, responses_;
  std::vector<uint32_t> last_tx_;
  std::vector<uint8_t> registrations_;
  bool done_ = false;
  I3cFault fault_ = I3cFault::None;
};

struct SocModels {
  std::shared_ptr<ClockBlock> clock;
  std::shared_ptr<I2cMaster> i2c;
  std::shared_ptr<I3cMaster> i3c;
  std::shared_ptr<PowerMonitor> monitor;
};

}  // namespace morla::sim
