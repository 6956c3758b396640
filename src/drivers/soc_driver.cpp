#include "drivers/soc_driver.h"

#include "core/platform.h"
#include "drivers/soc_clock.h"

namespace morla {

SocDriver::~SocDriver() { stop_power_measurement(); }

soc::ClockMode SocDriver::clock_mode() { return soc::read_clock_frequency(bus_); }

void SocDriver::set_clock_mode(const soc::ClockMode& mode) {
  soc::apply_clock_mode(bus_, mode, deadlines_.clock_change);
  if (meter_) meter_->reset(time_ms() + kClockSettleMs);
}

void SocDriver::set_power_measurement_enabled(bool enabled) {
  if (enabled == static_cast<bool>(meter_)) return;
  if (!enabled) {
    power_thread_.stop();
    meter_.reset();
    return;
  }
  meter_ = std::make_shared<PowerMeter>();
  try {
    power_thread_.launch(
        bus_,
        [meter = meter_](std::pair<uint32_t, uint32_t> sample) {
          meter->add_event({time_ms(), sample.first, sample.second});
        },
        deadlines_);
  } catch (...) {
    meter_.reset();
    throw;
  }
}

std::shared_ptr<PowerMeter> SocDriver::power_meter() { return meter_; }

void SocDriver::stop_power_measurement() noexcept {
  try {
    power_thread_.stop();
  } catch (const std::exception&) {
  }
  meter_.reset();
}

}  // namespace morla
