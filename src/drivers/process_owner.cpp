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

// Takes every held mutex, as std::lock does, never waiting for one while holding another:
// their users nest them in more than one order (a bus transaction writes to the dump).
void before_fork() {
  guard().registry.lock();
  std::vector<std::mutex*>& held = guard().held;
  for (size_t first = 0; !held.empty();) {
    held[first]->lock();
    size_t busy = held.size();
    for (size_t i = 0; i < held.size() && busy == held.size(); ++i)
      if (i != first && !held[i]->try_lock()) busy = i;
    if (busy == held.size()) return;
    for (size_t i = 0; i < busy; ++i)
      if (i != first) held[i]->unlock();
    held[first]->unlock();
    first = busy;
  }
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
  // Only a process forked from the owner gets here. Its copy of the board's device list
  // never reaches the board, and opening the board anew would find it held by the owner
  // (and by this process's own copy of the open), so the owner must do the work.
  const std::string owner = std::to_string(pid_);
  throw std::runtime_error(what + " belongs to process " + owner +
                           ", which opened it; this is process " + std::to_string(::getpid()) +
                           ", forked from it, which cannot use the board: hand the work to "
                           "process " + owner + ".");
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
