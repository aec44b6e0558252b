#include "module/core_section.h"

namespace tamsel::py {

SignalCheckpoint::SignalCheckpoint(bool lock_released)
    : lock_released_(lock_released),
      record_(BorrowRecord::innermost()),
      next_look_(std::chrono::steady_clock::now() + kSignalPeriod) {}

bool SignalCheckpoint::keep_going() {
  if (stopped_) return false;
  const auto now = std::chrono::steady_clock::now();
  if (now < next_look_) return true;
  int outcome;
  if (lock_released_) {
    gate_end_flight();
    PyEval_RestoreThread(thread_);
    leave_core(record_);
    outcome = PyErr_CheckSignals();
    enter_core(record_);
    thread_ = PyEval_SaveThread();
    gate_begin_flight();
  } else {
    outcome = PyErr_CheckSignals();
  }
  next_look_ = std::chrono::steady_clock::now() + kSignalPeriod;
  stopped_ = outcome < 0;
  return !stopped_;
}

}  // namespace tamsel::py
