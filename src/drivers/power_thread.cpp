#include "drivers/power_thread.h"

#include <chrono>
#include <memory>
#include <stdexcept>
#include <string>
#include <system_error>

#include "drivers/driver_print.h"
#include "drivers/i2c_master.h"
#include "drivers/i3c_master.h"
#include "drivers/ina_monitor.h"
#include "drivers/register_bits.h"
#include "drivers/status_text.h"

namespace morla {
namespace {

// The controller the monitor answered on.
struct OpenedBus {
  soc::MonitorBus functions;
  bool is_i2c;
};

// What the sampling thread owns.
struct PowerThreadContext {
  std::unique_ptr<soc::INA> device;
  HardwareDriver& bus;
  std::atomic<bool>* stop;
  OpenedBus opened;
  PowerSampleCallback callback;
};

[[noreturn]] void bus_failure(const char* what, int status, StatusName name) {
  throw std::runtime_error(what + status_text(status, name));
}

// The I2C controller when the monitor answers there, else the I3C controller; each
// waits on its controller as long as `deadlines` say.
OpenedBus open_monitor_bus(HardwareDriver& bus, const DriverDeadlines& deadlines) {
  soc::i2c::clear(bus);
  if (const int rc = soc::i2c::init(bus); rc != 0) {
    soc::i2c::clear(bus);
    bus_failure("Failed to init i2c controller: ", rc, soc::i2c::status_name);
  }
  if (soc::i2c::probe(bus, soc::kMonitorAddress, deadlines.i2c_phase))
    return {soc::i2c::monitor_bus(deadlines.i2c_phase), true};
  soc::i2c::clear(bus);
  if (const int rc = soc::i3c::clear(bus, deadlines.i3c_wait); rc != 0)
    bus_failure("Failed to access i3c: ", rc, soc::i3c::status_name);
  if (const int rc = soc::i3c::init(bus, deadlines.i3c_wait); rc != 0) {
    soc::i3c::clear(bus, deadlines.i3c_wait);
    bus_failure("Failed to init i3c controller: ", rc, soc::i3c::status_name);
  }
  return {soc::i3c::monitor_bus(deadlines.i3c_wait), false};
}

// Sleeps until `deadline` in whole milliseconds, waking early when asked to stop.
void sleep_until(std::chrono::steady_clock::time_point deadline, const std::atomic<bool>& stop) {
  using namespace std::chrono;
  while (!stop) {
    const auto left = deadline - steady_clock::now();
    if (left <= nanoseconds::zero()) return;
    std::this_thread::sleep_for(std::min(ceil<milliseconds>(left), milliseconds(1)));
  }
}

void power_thread_main(std::unique_ptr<PowerThreadContext> context) {
  PowerThreadContext& c = *context;
  try {
    while (!*c.stop) {
      const auto t0 = std::chrono::steady_clock::now();
      if (c.opened.is_i2c && !test_register_bits(c.bus, soc::i2c::kSetup, soc::i2c::kSetupLostBit))
        soc::i2c::init(c.bus);
      const uint32_t voltage = c.device->voltage();
      const uint32_t current = c.device->current();
      c.callback({voltage, current});
      sleep_until(t0 + std::chrono::nanoseconds(PowerThread::kPeriodNs), *c.stop);
    }
  } catch (const std::exception& error) {
    driver_print("An error occured while reading power: %s\n", error.what());
    *c.stop = true;
  }
  try {
    c.opened.functions.clear(c.bus, c.opened.functions.wait);
  } catch (const std::exception&) {
    // The link is gone; there is nothing left to tidy on the board.
  }
}

}  // namespace

PowerThread::~PowerThread() {
  try {
    stop();
  } catch (const std::exception&) {
  }
}

void PowerThread::launch(HardwareDriver& bus, PowerSampleCallback callback,
                         const DriverDeadlines& deadlines) {
  bool stopped = true;
  if (!stop_.compare_exchange_strong(stopped, false)) return;
  try {
    // A thread that ended on a sampling error is still to be joined.
    if (thread_.joinable()) thread_.join();
    const OpenedBus opened = open_monitor_bus(bus, deadlines);
    auto device = soc::make_ina(bus, soc::kMonitorAddress, opened.functions);
    device->init();
    auto context = std::make_unique<PowerThreadContext>(
        PowerThreadContext{std::move(device), bus, &stop_, opened, std::move(callback)});
    owner_ = ProcessOwner();
    thread_ = std::thread(power_thread_main, std::move(context));
  } catch (...) {
    stop_ = true;
    throw;
  }
}

void PowerThread::stop() {
  stop_.exchange(true);
  if (!thread_.joinable()) return;
  if (!owner_.current()) {
    thread_.detach();  // it runs in the parent only: nothing here to join
    return;
  }
  if (thread_.get_id() == std::this_thread::get_id())
    throw std::system_error(std::make_error_code(std::errc::resource_deadlock_would_occur));
  thread_.join();
}

}  // namespace morla
