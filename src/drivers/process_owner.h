#pragma once
// A board belongs to the process that opened it. After fork() a child holds copies of the
// parent's drivers: they must not talk to the board (the parent's exchanges and sampling
// go on), and they must not find a lock taken for ever by a thread that did not follow.
#include <sys/types.h>

#include <mutex>
#include <string>

namespace morla {

class ProcessOwner {
 public:
  ProcessOwner();
  // True in the process that made the object.
  bool current() const;
  // Throws std::runtime_error naming `what` and both processes when called elsewhere (in a
  // forked child), telling the caller to hand the work to the owner.
  void require(const std::string& what) const;

 private:
  pid_t pid_;
};

// Holds `mutex` across every later fork(): the forking thread takes it first (waiting for
// an exchange of another thread to end), and parent and child release it afterwards, so
// the child starts with it free. A mutex that ends before the process is let go first.
void hold_across_fork(std::mutex& mutex);
void stop_holding_across_fork(std::mutex& mutex);

}  // namespace morla
