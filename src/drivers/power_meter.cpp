#include "drivers/power_meter.h"

#include <cfloat>

#include "drivers/process_owner.h"

namespace morla {
namespace {

size_t next(size_t slot) { return slot + 1 == PowerMeter::kCapacity ? 0 : slot + 1; }

}  // namespace

// The sampling thread adds events: a child forked meanwhile starts with the lock free.
PowerMeter::PowerMeter() : ring_(kCapacity), floor_(FLT_MAX) { hold_across_fork(mutex_); }

PowerMeter::~PowerMeter() { stop_holding_across_fork(mutex_); }

void PowerMeter::add_event(const PowerEvent& event) {
  std::lock_guard lock(mutex_);
  const float volts = static_cast<float>(event.voltage / 1e6);
  const float power = static_cast<float>(event.current) * volts;
  if (!(power > 0) || event.ts <= not_before_) return;
  if (floor_ > power) floor_ = power;
  ring_[head_] = event;
  if (full_) tail_ = next(tail_);
  head_ = next(head_);
  full_ = head_ == tail_;
}

std::vector<PowerMeter::PowerEvent> PowerMeter::events() const {
  std::lock_guard lock(mutex_);
  const size_t count = full_ ? kCapacity : (head_ + kCapacity - tail_) % kCapacity;
  std::vector<PowerEvent> out;
  out.reserve(count);
  for (size_t i = 0, slot = tail_; i < count; ++i, slot = next(slot)) out.push_back(ring_[slot]);
  return out;
}

bool PowerMeter::has_events() const {
  std::lock_guard lock(mutex_);
  return head_ != tail_ || full_;
}

float PowerMeter::floor() const {
  std::lock_guard lock(mutex_);
  return floor_ == FLT_MAX ? 0.0f : floor_;
}

void PowerMeter::reset(int64_t not_before) {
  std::lock_guard lock(mutex_);
  floor_ = FLT_MAX;
  not_before_ = not_before;
}

}  // namespace morla
