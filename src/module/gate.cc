#include "module/gate.h"

#include <pthread.h>

#include <condition_variable>
#include <mutex>
#include <new>

namespace tamsel::py {

void adopt_borrows_after_fork();  // borrow.cc: the forking thread's borrows survive

namespace {

struct Gate {
  std::mutex mutex;
  std::condition_variable changed;
  std::uint64_t epoch = 0;
  std::size_t in_flight = 0;
};

// Never destroyed: threads may still pass through it while the process exits.
// A child gets a fresh one, since the parent's may have recorded waiters
// that the child does not have.
Gate* gate = new Gate;
std::uint64_t generation = 0;

void before_fork() {
  std::unique_lock<std::mutex> lock(gate->mutex);
  gate->changed.wait(lock, [] { return gate->in_flight == 0; });
  lock.release();  // held through the fork: no core section starts meanwhile
}

void after_fork_in_parent() { gate->mutex.unlock(); }

void after_fork_in_child() {
  gate = new Gate;  // the old one stays locked, and is left alone
  ++generation;
  adopt_borrows_after_fork();
}

}  // namespace

std::uint64_t gate_epoch() {
  std::lock_guard<std::mutex> lock(gate->mutex);
  return gate->epoch;
}

void gate_wait(std::uint64_t seen, std::chrono::milliseconds limit) {
  std::unique_lock<std::mutex> lock(gate->mutex);
  gate->changed.wait_for(lock, limit, [&] { return gate->epoch != seen; });
}

void gate_advance() {
  {
    std::lock_guard<std::mutex> lock(gate->mutex);
    ++gate->epoch;
  }
  gate->changed.notify_all();
}

void gate_begin_flight() {
  std::lock_guard<std::mutex> lock(gate->mutex);
  ++gate->in_flight;
}

void gate_end_flight() {
  bool last;
  {
    std::lock_guard<std::mutex> lock(gate->mutex);
    last = --gate->in_flight == 0;
  }
  if (last) gate->changed.notify_all();
}

std::uint64_t fork_generation() { return generation; }

void install_fork_handlers() { pthread_atfork(before_fork, after_fork_in_parent, after_fork_in_child); }

}  // namespace tamsel::py
