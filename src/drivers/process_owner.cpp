#include "drivers/process_owner.h"

#include <pthread.h>
#include <unistd.h>

#include <stdexcept>
#include <vector>

namespace morla {

namespace {

struct ForkGuard {
  std::mutex registry;  // taken first, released last
  std::vector<std::mutex*> held;
};

ForkGuard& guard() {
  static ForkGuard* instance = new ForkGuard;  // never destroyed: forks may come at exit
  return *instance;
}

void before_fork() {
  guard().registry.lock();
  for (std::mutex* mutex : guard().held) mutex->lock();
}

void after_fork() {
  for (auto it = guard().held.rbegin(); it != guard().held.rend(); ++it) (*it)->unlock();
  guard().registry.unlock();
}

}  // namespace

ProcessOwner::ProcessOwner() : pid_(::getpid()) {}

bool ProcessOwner::current() const { return ::getpid() == pid_; }

void ProcessOwner::require(const std::string& what) const {
  if (current()) return;
  throw std::runtime_error(what + " belongs to process " + std::to_string(pid_) +
                           ", which opened it; this is process " + std::to_string(::getpid()) +
                           ": open the board in this process instead.");
}

void hold_across_fork(std::mutex& mutex) {
  static std::once_flag installed;
  std::call_once(installed, [] { ::pthread_atfork(before_fork, after_fork, after_fork); });
  std::lock_guard lock(guard().registry);
  guard().held.push_back(&mutex);
}

void stop_holding_across_fork(std::mutex& mutex) {
  std::lock_guard lock(guard().registry);
  std::erase(guard().held, &mutex);
}

}  // namespace morla
