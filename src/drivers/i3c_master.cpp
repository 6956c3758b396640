#include "drivers/i3c_master.h"

#include <algorithm>
#include <array>
#include <mutex>

#include "drivers/driver_print.h"
#include "drivers/process_owner.h"
#include "drivers/register_bits.h"
#include "drivers/register_poll.h"

namespace morla::soc::i3c {
namespace {

constexpr uint32_t kEnable = 1u << 31;
constexpr uint32_t kStartCommand = 1u << 29;
constexpr uint32_t kInitControlBits = 0x10000003;
constexpr uint32_t kResponsesEmpty = 1u << 0;
constexpr uint32_t kRxEmpty = 1u << 2;
constexpr uint32_t kTxFull = 1u << 13;
constexpr uint32_t kIdle = 1u << 18;
constexpr uint32_t kResponsesDrained = 1u << 1;
constexpr uint32_t kCommandDone = 1u << 2;
constexpr uint32_t kRxDrained = 1u << 6;

// Devices registered with the controller, by 7-bit address, and the counter of
// command identifiers: process-wide, guarded by `mutex`.
struct DeviceTable {
  std::array<bool, 128> registered{};
  uint32_t count = 1;
};
struct SharedState {
  std::mutex mutex;
  DeviceTable devices;
  uint32_t command_counter = 0;
};
SharedState& shared() {
  static SharedState state;
  // The sampling thread takes it: a child forked meanwhile starts with it free.
  static const bool held_across_fork = (hold_across_fork(state.mutex), true);
  (void)held_across_fork;
  return state;
}

struct CommandHeader {
  uint8_t id = 0;
  uint8_t flag = 0;
  uint32_t field = 0;
  uint8_t read = 0;
  uint8_t has_offset = 1;
  uint16_t offset = 0;
};

bool wait_idle(HardwareDriver& bus, std::chrono::milliseconds wait) {
  return poll_until(bus, kStatus, kIdle, PollClock::now() + wait, "the i3c controller to be idle");
}

// Reads `queue` until `drained` shows in the events, then acknowledges it.
int drain(HardwareDriver& bus, uint32_t queue, uint32_t drained, uint32_t acknowledge,
          std::chrono::milliseconds wait) {
  if (!poll_until(bus, kEvents, drained, PollClock::now() + wait, "an i3c queue to drain",
                  BitsWanted::AnySet, [&] { read_register(bus, queue); }))
    return kDrainTimeout;
  write_register(bus, kEventControl, acknowledge);
  return kOk;
}

void register_device(HardwareDriver& bus, uint8_t device) {
  std::lock_guard lock(shared().mutex);
  DeviceTable& table = shared().devices;
  if (table.count >= kDeviceSlots || table.registered[device & 0x7F]) return;
  table.registered[device & 0x7F] = true;
  write_register(bus, kDeviceAddress, uint32_t{device} * 2);
  set_register_bits(bus, kDeviceEnable, 1u << table.count);
  ++table.count;
}

// Up to four bytes, low first, as one transmit word.
uint32_t pack_piece(const uint8_t* bytes, int32_t count) {
  uint32_t word = 0;
  for (int32_t i = 0; i < std::min(count, 4); ++i) word |= uint32_t{bytes[i]} << (8 * i);
  return word;
}

int transfer(HardwareDriver& bus, uint8_t device, uint32_t length, const CommandHeader& header,
             const uint8_t* data, int32_t count, std::chrono::milliseconds wait) {
  write_register(bus, kCommand1,
                 uint32_t{header.id} << 24 | (header.has_offset ? header.offset : 0u));
  int32_t sent = 0;
  if (count > 0) {
    write_register(bus, kTxData, pack_piece(data, count));
    sent = std::min(count, 4);
  } else if (!header.read) {
    // A write of no bytes still announces one: send it as zero.
    write_register(bus, kTxData, 0);
  }
  uint32_t word0 =
      header.read | length << 12 | (uint32_t{device} * 2 & 0x7FFF) | header.field << 27;
  if (device >= 128) word0 |= 0x01000000;
  if (header.has_offset && header.offset >= 256) word0 |= 0x04000000;
  write_register(bus, kCommand0, word0);

  set_register_bits(bus, kControl, kStartCommand);
  const auto feed_transmit_queue = [&] {
    while (sent < count && !test_register_bits(bus, kStatus, kTxFull)) {
      write_register(bus, kTxData, pack_piece(data + sent, count - sent));
      sent += std::min(count - sent, 4);
    }
  };
  if (!poll_until(bus, kEvents, kCommandDone, PollClock::now() + wait, "an i3c command to complete",
                  BitsWanted::AnySet, feed_transmit_queue))
    return kNoCompletion;

  set_register_bits(bus, kEventControl, kCommandDone);
  const uint32_t response = read_register(bus, kResponse);
  const uint32_t error = response >> 24 & 0xF;
  if (error != 0 && error != 9) return kResponseError;
  if ((response & 0xFF) != header.id) return kWrongIdentifier;
  if (header.read && (response >> 8 & 0xFFF) != length) return kWrongLength;
  return kOk;
}

CommandHeader next_header(uint8_t reg, bool read) {
  CommandHeader header;
  {
    std::lock_guard lock(shared().mutex);
    header.id = static_cast<uint8_t>(++shared().command_counter);
  }
  header.read = read ? 1 : 0;
  header.offset = reg;
  return header;
}

}  // namespace

const char* status_name(int status) {
  switch (status) {
    case kOk: return "ok";
    case kResponseError: return "error response";
    case kNoCompletion: return "command did not complete";
    case kWrongIdentifier: return "response to another command";
    case kWrongLength: return "response of another length";
    case kNotIdle: return "controller not idle";
    case kDrainTimeout: return "queue did not drain";
    default: return nullptr;
  }
}

int clear(HardwareDriver& bus, std::chrono::milliseconds wait) {
  const bool idle = wait_idle(bus, wait);
  if (idle) clear_register_bits(bus, kControl, kEnable);
  {
    std::lock_guard lock(shared().mutex);
    write_register(bus, kDeviceEnable, kDeviceDisableAll);
    shared().devices = DeviceTable{};
  }
  return idle ? kOk : kNotIdle;
}

int init(HardwareDriver& bus, std::chrono::milliseconds wait) {
  if (!wait_idle(bus, wait)) return kNotIdle;
  clear_register_bits(bus, kControl, kEnable);
  write_register(bus, kSetup14, 0x00950005);
  write_register(bus, kSetup18, 0x00000909);
  write_register(bus, kEventControl, 0x0003DFFF);
  set_register_bits(bus, kSetup90, 0x00010000);
  write_register(bus, kSetup20, 0x46);
  set_register_bits(bus, kControl, kInitControlBits);
  write_register(bus, kSetupC0, 0x41);
  write_register(bus, kSetup9C, 0x01FF0000);
  set_register_bits(bus, kControl, kEnable);

  const uint32_t status = read_register(bus, kStatus);
  if (!(status & kResponsesEmpty)) {
    driver_print("WARNING: i3c reported cmdr fifo was not empty\n");
    if (const int rc = drain(bus, kResponse, kResponsesDrained, 2, wait); rc != kOk) return rc;
  }
  if (!(status & kRxEmpty)) {
    driver_print("WARNING: i3c reported rx fifo was not empty\n");
    if (const int rc = drain(bus, kRxData, kRxDrained, 64, wait); rc != kOk) return rc;
  }
  return kOk;
}

int write(HardwareDriver& bus, uint8_t device, uint8_t reg, uint8_t* bytes, int32_t count,
          std::chrono::milliseconds wait) {
  register_device(bus, device);
  const CommandHeader header = next_header(reg, false);
  const uint32_t length = count > 0 ? static_cast<uint32_t>(count) : 1u;
  return transfer(bus, device, length, header, bytes, std::max(count, 0), wait);
}

int read(HardwareDriver& bus, uint8_t device, uint8_t reg, uint8_t* bytes, int32_t count,
         std::chrono::milliseconds wait) {
  register_device(bus, device);
  const CommandHeader header = next_header(reg, true);
  const int32_t wanted = std::max(count, 0);
  const int rc = transfer(bus, device, static_cast<uint32_t>(wanted), header, nullptr, 0, wait);
  if (rc != kOk) return rc;
  for (int32_t filled = 0; filled < wanted;) {
    const uint32_t word = read_register(bus, kRxData);
    for (int k = 0; k < 4 && filled < wanted; ++k)
      bytes[filled++] = static_cast<uint8_t>(word >> (8 * k));
  }
  return kOk;
}

uint32_t registered_device_count() {
  std::lock_guard lock(shared().mutex);
  return shared().devices.count;
}

}  // namespace morla::soc::i3c
