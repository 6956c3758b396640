#pragma once
// The SoC side of a board driver: clock modes and power measurement.
#include <memory>

#include "drivers/clock_mode.h"
#include "drivers/driver_deadlines.h"
#include "drivers/hardware_driver.h"
#include "drivers/power_meter.h"
#include "drivers/power_thread.h"

namespace morla {

class SocDriver {
 public:
  // Samples stamped up to this long after a clock change are discarded.
  static constexpr int64_t kClockSettleMs = 141;

  virtual ~SocDriver();
  virtual soc::ClockMode clock_mode();
  // Resets the power meter, when there is one, so that the settling clock's
  // samples are dropped.
  virtual void set_clock_mode(const soc::ClockMode& mode);
  // On: a new meter and the sampling thread (nothing when already on); a failed
  // start leaves measurement off and rethrows. Off: stops and joins the thread and
  // lets go of the meter.
  virtual void set_power_measurement_enabled(bool enabled);
  // Empty while measurement is off.
  virtual std::shared_ptr<PowerMeter> power_meter();

  SocDriver(const SocDriver&) = delete;
  SocDriver& operator=(const SocDriver&) = delete;

 protected:
  // `bus` is the driver itself; every access goes through its read and write. The clock
  // and the power-monitor buses wait as long as `deadlines` say.
  explicit SocDriver(HardwareDriver& bus, const DriverDeadlines& deadlines = {})
      : bus_(bus), deadlines_(deadlines) {}
  // Stops sampling; the concrete driver calls it before its transport goes away.
  void stop_power_measurement() noexcept;
  const DriverDeadlines& deadlines() const { return deadlines_; }

 private:
  HardwareDriver& bus_;
  DriverDeadlines deadlines_;
  std::shared_ptr<PowerMeter> meter_;
  PowerThread power_thread_;
};

}  // namespace morla
