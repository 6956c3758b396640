#pragma once
// The last 100 power samples of a board and the lowest power seen, shared between
// the sampling thread that fills it and the readers.
#include <cstdint>
#include <mutex>
#include <vector>

namespace morla {

class PowerMeter {
 public:
  static constexpr size_t kCapacity = 100;

  struct PowerEvent {
    int64_t ts = 0;        // milliseconds (time_ms)
    uint32_t voltage = 0;  // microvolts
    uint32_t current = 0;  // milliamperes
  };

  PowerMeter();
  ~PowerMeter();
  PowerMeter(const PowerMeter&) = delete;
  PowerMeter& operator=(const PowerMeter&) = delete;

  // Keeps events whose power is above zero and whose stamp is after the not-before
  // time, replacing the oldest when full; lowers the floor.
  void add_event(const PowerEvent& event);
  // The kept events, oldest first; the ring keeps them.
  std::vector<PowerEvent> events() const;
  bool has_events() const;
  // Lowest power in milliwatts since construction or the last reset; 0 when none.
  float floor() const;
  // Forgets the floor and drops events stamped at or before `not_before`.
  void reset(int64_t not_before);

 private:
  mutable std::mutex mutex_;
  std::vector<PowerEvent> ring_;
  size_t head_ = 0;
  size_t tail_ = 0;
  bool full_ = false;
  float floor_;
  int64_t not_before_ = 0;
};

// Power of an event in milliwatts, truncated.
inline uint64_t event_power_mw(const PowerMeter::PowerEvent& event) {
  return uint64_t{event.voltage} * event.current / 1000000u;
}

}  // namespace morla
