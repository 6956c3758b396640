#include "drivers/i2c_master.h"

#include <atomic>
#include <chrono>
#include <thread>

#include "drivers/register_bits.h"
#include "drivers/register_poll.h"

namespace morla::soc::i2c {
namespace {

constexpr uint32_t kDone = 1u << 0;
constexpr uint32_t kAck = 1u << 3;
constexpr uint32_t kTransfer = 1u << 4;
constexpr uint32_t kError = 1u << 7;
constexpr uint32_t kBusTaken = 1u << 7;
constexpr uint32_t kNoAcknowledge = 1u << 4;

// Set once the controller has been set up; shortens the pause between transfers.
std::atomic<bool> set_up_once{false};

void pause() { std::this_thread::sleep_for(std::chrono::microseconds(set_up_once ? 2 : 10)); }

void set_up(HardwareDriver& bus) {
  set_up_once = true;
  write_register(bus, kTiming, 2);
  write_register(bus, kSetup, kSetupValue);
  write_register(bus, kControl, kControlSetupValue);
}

int wait(HardwareDriver& bus, std::chrono::milliseconds limit) {
  if (poll_until(bus, kControl, kDone, PollClock::now() + limit, "the i2c phase to end"))
    return kOk;
  if (!test_register_bits(bus, kControl, kError)) return kTimeout;
  write_register(bus, kControl, 0);
  set_up(bus);
  return kTimeoutReset;
}

int fail(HardwareDriver& bus, int code) {
  clear_register_bits(bus, kControl, kDone | kTransfer);
  pause();
  return code;
}

int send_byte(HardwareDriver& bus, uint8_t device, uint8_t byte, bool with_address,
              std::chrono::milliseconds limit) {
  if (with_address) {
    write_register(bus, kData, uint32_t{device} * 2);
    set_register_bits(bus, kControl, kTransfer);
    if (const int rc = wait(bus, limit); rc != kOk) return fail(bus, rc);
    if (!test_register_bits(bus, kStatus, kBusTaken)) return fail(bus, kNoBus);
    if (test_register_bits(bus, kStatus, kNoAcknowledge)) return fail(bus, kNoAck);
  }
  write_register(bus, kData, byte);
  clear_register_bits(bus, kControl, kDone);
  if (const int rc = wait(bus, limit); rc != kOk) return fail(bus, rc);
  if (test_register_bits(bus, kStatus, kNoAcknowledge)) return fail(bus, kNoAck);
  return kOk;
}

void end_transfer(HardwareDriver& bus) {
  clear_register_bits(bus, kControl, kTransfer);
  pause();
}

int check_start(HardwareDriver& bus, uint8_t device) {
  if (device > kLargestDevice) return kBadDevice;
  if (test_register_bits(bus, kStatus, kBusTaken)) return kBusy;
  return kOk;
}

}  // namespace

const char* status_name(int status) {
  switch (status) {
    case kOk: return "ok";
    case kBusy: return "bus busy";
    case kTimeoutReset: return "timed out, controller set up again";
    case kBadDevice: return "device address above 119";
    case kTimeout: return "timed out";
    case kNoBus: return "bus not taken";
    case kNoAck: return "no acknowledge";
    default: return nullptr;
  }
}

int clear(HardwareDriver& bus, std::chrono::milliseconds /*wait*/) {
  for (const uint32_t address : {kControl, kSetup, kTiming, kReg0C, kData, kReg1C})
    write_register(bus, address, 0);
  return kOk;
}

int init(HardwareDriver& bus) {
  if (test_register_bits(bus, kStatus, kBusTaken)) return kBusy;
  write_register(bus, kReg0C, 0);
  write_register(bus, kReg18, 3);
  set_up(bus);
  return kOk;
}

bool probe(HardwareDriver& bus, uint8_t device, std::chrono::milliseconds wait_limit) {
  write_register(bus, kData, uint32_t{device} * 2);
  set_register_bits(bus, kControl, kTransfer);
  const bool answers = wait(bus, wait_limit) == kOk &&
                       test_register_bits(bus, kStatus, kBusTaken) &&
                       !test_register_bits(bus, kStatus, kNoAcknowledge);
  clear_register_bits(bus, kControl, kTransfer);
  return answers;
}

int write(HardwareDriver& bus, uint8_t device, uint8_t reg, uint8_t* bytes, int32_t count,
          std::chrono::milliseconds wait_limit) {
  if (const int rc = check_start(bus, device); rc != kOk) return rc;
  if (const int rc = send_byte(bus, device, reg, true, wait_limit); rc != kOk) return rc;
  for (int32_t i = 0; i < count; ++i)
    if (const int rc = send_byte(bus, device, bytes[i], false, wait_limit); rc != kOk) return rc;
  end_transfer(bus);
  return kOk;
}

int read(HardwareDriver& bus, uint8_t device, uint8_t reg, uint8_t* bytes, int32_t count,
         std::chrono::milliseconds wait_limit) {
  if (const int rc = check_start(bus, device); rc != kOk) return rc;
  int rc = kNoAck;
  for (int attempt = 0; attempt < kRegisterAttempts && rc == kNoAck; ++attempt)
    rc = send_byte(bus, device, reg, true, wait_limit);
  if (rc != kOk) return rc;
  end_transfer(bus);

  write_register(bus, kData, uint32_t{device} * 2 + 1);
  set_register_bits(bus, kControl, kTransfer);
  rc = wait(bus, wait_limit);
  if (rc == kOk && !test_register_bits(bus, kStatus, kBusTaken)) rc = kNoBus;
  if (rc == kOk && test_register_bits(bus, kStatus, kNoAcknowledge)) rc = kNoAck;
  if (rc == kOk) {
    set_register_bits(bus, kControl, kAck);
    for (int32_t i = 0; i < count; ++i) {
      uint32_t control = read_register(bus, kControl) & ~(kDone | kAck);
      if (i + 1 < count) control |= kAck;
      write_register(bus, kControl, control);
      if ((rc = wait(bus, wait_limit)) != kOk) break;
      bytes[i] = static_cast<uint8_t>(read_register(bus, kData));
    }
  }
  end_transfer(bus);
  return rc;
}

}  // namespace morla::soc::i2c
