// Core sections: the part of a call that works on native data only, run
// without the interpreter lock so that other Python threads go on meanwhile.
//
// release_lock(work) marks the calling thread's innermost borrow as in core
// (threads that meet it wait instead of failing, see borrow.h), gives up
// the lock, runs work(checkpoint) and takes the lock back. Arguments must be
// converted before, and results turned into Python objects after: `work`
// must not touch a Python object nor a caller's buffer. A C++ exception
// from `work` is rethrown once the lock is held again.
//
// The checkpoint looks for signals every kSignalPeriod of work: it takes the
// lock back for a moment, leaves the core section (so that a signal
// handler's calls on the same index meet the borrow rules) and runs the
// pending handlers. When one raises, keep_going() returns false from then
// on and the exception stays set for the call to return.
//
// keep_lock(work) is the same with the lock held throughout, for work that
// reads a caller's buffer; its checkpoint still runs the signal handlers.
//
// core_work(cost, work) picks one by the work's size, counted in values
// read: work smaller than kReleaseCost ends sooner than the lock changes
// hands, and a thread that gives the lock up to a busy Python thread may
// wait a whole switch interval to get it back, so it keeps the lock.
#pragma once

#include <cxxabi.h>

#include <chrono>
#include <cstddef>
#include <exception>
#include <optional>
#include <type_traits>
#include <utility>
#include <variant>

#include "common/checkpoint.h"
#include "module/borrow.h"
#include "module/gate.h"

namespace tamsel::py {

inline constexpr std::chrono::milliseconds kSignalPeriod{20};

class SignalCheckpoint final : public Checkpoint {
 public:
  explicit SignalCheckpoint(bool lock_released);
  bool keep_going() override;
  // Marks the section entered (lock released); done by release_lock().
  void released(PyThreadState* thread) { thread_ = thread; }

 private:
  bool lock_released_;
  PyThreadState* thread_ = nullptr;
  BorrowRecord* record_;
  std::chrono::steady_clock::time_point next_look_;
  bool stopped_ = false;
};

template <class Work>
decltype(auto) release_lock(Work&& work) {
  BorrowRecord* record = BorrowRecord::innermost();
  SignalCheckpoint checkpoint(true);
  enter_core(record);
  PyThreadState* thread = PyEval_SaveThread();
  checkpoint.released(thread);
  gate_begin_flight();
  std::exception_ptr failure;
  using Result = std::invoke_result_t<Work, Checkpoint&>;
  // Work that returns nothing fills the slot with a monostate.
  std::optional<std::conditional_t<std::is_void_v<Result>, std::monostate, Result>> result;
  try {
    if constexpr (std::is_void_v<Result>) {
      work(static_cast<Checkpoint&>(checkpoint));
      result.emplace();
    } else {
      result.emplace(work(static_cast<Checkpoint&>(checkpoint)));
    }
  } catch (abi::__forced_unwind&) {
    throw;  // the thread is being ended, past the interpreter: let it go
  } catch (...) {
    failure = std::current_exception();
  }
  gate_end_flight();
  PyEval_RestoreThread(thread);
  leave_core(record);
  if (failure) std::rethrow_exception(failure);
  if constexpr (!std::is_void_v<Result>) return Result(std::move(*result));
}

template <class Work>
decltype(auto) keep_lock(Work&& work) {
  SignalCheckpoint checkpoint(false);
  return work(static_cast<Checkpoint&>(checkpoint));
}

inline constexpr std::size_t kReleaseCost = 8192;

template <class Work>
decltype(auto) core_work(std::size_t cost, Work&& work) {
  if (cost >= kReleaseCost) return release_lock(std::forward<Work>(work));
  return keep_lock(std::forward<Work>(work));
}

}  // namespace tamsel::py
