#pragma once
// The thread that samples a board's power monitor every 70.4 ms.
#include <atomic>
#include <cstdint>
#include <functional>
#include <thread>

#include "drivers/driver_deadlines.h"
#include "drivers/hardware_driver.h"
#include "drivers/process_owner.h"

namespace morla {

// Called from the sampling thread with (microvolts, milliamperes).
using PowerSampleCallback = std::function<void(std::pair<uint32_t, uint32_t>)>;

class PowerThread {
 public:
  static constexpr int64_t kPeriodNs = 70'400'000;

  PowerThread() = default;
  PowerThread(const PowerThread&) = delete;
  PowerThread& operator=(const PowerThread&) = delete;
  // Stops and joins a running thread.
  ~PowerThread();

  // Sets up the monitor's bus (I2C, else I3C), makes and initialises the monitor
  // and starts sampling into `callback`; the buses wait as long as `deadlines` say.
  // Does nothing while a thread runs. On failure nothing runs and a later launch starts
  // afresh; the bus errors are std::runtime_error "Failed to ..." and the monitor's own.
  void launch(HardwareDriver& bus, PowerSampleCallback callback,
              const DriverDeadlines& deadlines = {});
  // Asks the thread to stop and joins it; harmless when none runs. Throws
  // std::system_error when called from the sampling thread itself. In a process forked
  // from the one that launched it, the thread did not follow: it is let go, not joined.
  void stop();
  // True while sampling (false again once the thread has ended on an error).
  bool sampling() const { return !stop_; }

 private:
  std::atomic<bool> stop_{true};
  std::thread thread_;
  ProcessOwner owner_;  // of the running thread
};

}  // namespace morla
