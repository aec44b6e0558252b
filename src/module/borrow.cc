#include "module/borrow.h"

#include <utility>
#include <vector>

#include "module/gate.h"

namespace tamsel::py {

namespace {

thread_local BorrowRecord* innermost_record = nullptr;

// In a child of a fork: what the forking thread held, by state.
std::vector<std::pair<BorrowState*, Py_ssize_t>>* survivors = nullptr;

// Brings a state touched last in an earlier fork generation up to date: only
// the borrows of the thread that forked are still held.
void refresh(BorrowState& state) {
  const std::uint64_t now = fork_generation();
  if (state.generation == now) return;
  Py_ssize_t flag = 0;
  if (survivors != nullptr) {
    for (const auto& [survivor, held] : *survivors) {
      if (survivor == &state) flag = held;
    }
  }
  state.flag.store(flag);
  state.in_core = 0;
  state.exclusive_waiters = 0;
  state.generation = now;
}

constexpr std::chrono::milliseconds kSignalPeriod{50};

}  // namespace

void adopt_borrows_after_fork() {
  // Runs in the child, on the thread that forked, before anything else.
  auto* kept = new std::vector<std::pair<BorrowState*, Py_ssize_t>>;
  for (BorrowRecord* record = innermost_record; record != nullptr; record = record->outer()) {
    Py_ssize_t* held = nullptr;
    for (auto& [state, count] : *kept) {
      if (state == record->state()) held = &count;
    }
    if (held == nullptr) held = &kept->emplace_back(record->state(), 0).second;
    *held = record->access() == Access::Exclusive ? -1 : *held + 1;
  }
  delete std::exchange(survivors, kept);
}

BorrowRecord::BorrowRecord(BorrowState& state, Access access) : access_(access) {
  refresh(state);
  bool counted_as_waiter = false;
  const auto stop_waiting = [&] {
    if (counted_as_waiter) --state.exclusive_waiters;
    counted_as_waiter = false;
  };
  while (true) {
    state_ = &state;  // what try_take() and only_core_in_the_way() look at
    if (try_take()) break;
    if (!only_core_in_the_way()) {
      state_ = nullptr;
      stop_waiting();
      PyErr_SetString(PyExc_RuntimeError,
                      access == Access::Shared ? "Already mutably borrowed" : "Already borrowed");
      return;
    }
    state_ = nullptr;
    if (access == Access::Exclusive && !counted_as_waiter) {
      ++state.exclusive_waiters;
      counted_as_waiter = true;
    }
    // The counter is read with the lock held, so a core section that ends
    // after this point moves it on and the wait below returns.
    const std::uint64_t seen = gate_epoch();
    Py_BEGIN_ALLOW_THREADS
    gate_wait(seen, kSignalPeriod);
    Py_END_ALLOW_THREADS
    refresh(state);
    if (PyErr_CheckSignals() < 0) {
      stop_waiting();
      return;
    }
  }
  stop_waiting();
  outer_ = std::exchange(innermost_record, this);
}

bool BorrowRecord::try_take() {
  std::atomic<Py_ssize_t>& flag = state_->flag;
  if (access_ == Access::Shared) {
    Py_ssize_t current = flag.load();
    do {
      if (current == -1) return false;
      // A writer waiting, and nothing but core work (or nothing) in its way:
      // queue behind it.
      if (state_->exclusive_waiters > 0 && state_->in_core == current) return false;
    } while (!flag.compare_exchange_weak(current, current + 1));
    return true;
  }
  Py_ssize_t expected = 0;
  return flag.compare_exchange_strong(expected, -1);
}

bool BorrowRecord::only_core_in_the_way() const {
  const Py_ssize_t flag = state_->flag.load();
  if (flag == -1) return state_->in_core == 1;
  if (flag == 0) return true;  // a shared borrow queued behind a waiting writer
  return flag > 0 && state_->in_core == flag;
}

BorrowRecord::~BorrowRecord() {
  if (state_ == nullptr) return;
  innermost_record = outer_;
  refresh(*state_);
  if (access_ == Access::Shared) {
    state_->flag.fetch_sub(1);
  } else {
    state_->flag.store(0);
  }
}

BorrowRecord* BorrowRecord::innermost() { return innermost_record; }

void enter_core(BorrowRecord* record) {
  if (record != nullptr) ++record->state()->in_core;
}

void leave_core(BorrowRecord* record) {
  if (record == nullptr) return;
  refresh(*record->state());
  if (record->state()->in_core > 0) --record->state()->in_core;
  gate_advance();
}

}  // namespace tamsel::py
