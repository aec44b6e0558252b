// The borrow of an instance: the flag that keeps the calls on one index
// apart, and the waiting that lets a thread meet another thread's call
// without an error.
//
// The flag counts the calls holding the instance: 0 free, n > 0 shared
// borrows, -1 one exclusive borrow. A call whose holder has released the
// interpreter lock for core work (a "core section") is counted as in core.
// A borrow that conflicts only with holders in core waits for them, without
// the interpreter lock, and then takes its turn; so calls from several
// threads behave as if they ran one after another. A borrow that conflicts
// with a holder running Python code (a conversion calling back, or a thread
// scheduled while such code runs) fails at once with RuntimeError "Already
// mutably borrowed" (shared) or "Already borrowed" (exclusive). While an
// exclusive borrow waits, new shared borrows that would have to wait behind
// busy readers anyway wait behind it, so a stream of searches cannot starve
// an insert.
//
// Fork: the flag of an instance counts borrows of threads that a child
// process does not have. Every state carries the fork generation it was
// last touched in; in the child, the first touch drops every borrow but
// those of the thread that forked, which go on and are released as usual.
// Core sections are waited for before a fork (see core_section.h).
//
// Thread-safety: every operation here runs with the interpreter lock held;
// only the waiting itself gives it up.
#pragma once

#include <atomic>
#include <cstdint>

#include "module/gate.h"
#include "module/py_ref.h"

namespace tamsel::py {

enum class Access { Shared, Exclusive };

struct BorrowState {
  std::atomic<Py_ssize_t> flag{0};
  Py_ssize_t in_core = 0;            // holders in a core section
  Py_ssize_t exclusive_waiters = 0;  // threads waiting for an exclusive borrow
  // The fork generation of the fields above: a state made in a child is
  // current there, whatever address it got.
  std::uint64_t generation = fork_generation();
};

// One held borrow, on the holding thread's stack of borrows.
class BorrowRecord {
 public:
  // Takes the borrow, waiting while only core sections stand in the way.
  // Afterwards the record is either held, or not with a Python error set.
  BorrowRecord(BorrowState& state, Access access);
  BorrowRecord(const BorrowRecord&) = delete;
  BorrowRecord& operator=(const BorrowRecord&) = delete;
  ~BorrowRecord();

  bool held() const { return state_ != nullptr; }
  Access access() const { return access_; }
  BorrowState* state() const { return state_; }

  // The innermost borrow the calling thread holds, or null; and the one
  // this record was taken inside of.
  static BorrowRecord* innermost();
  BorrowRecord* outer() const { return outer_; }

 private:
  bool try_take();
  bool only_core_in_the_way() const;

  BorrowState* state_ = nullptr;
  Access access_;
  BorrowRecord* outer_ = nullptr;
};

// The core-section marks of the calling thread's innermost borrow, if any.
void enter_core(BorrowRecord* record);
void leave_core(BorrowRecord* record);

}  // namespace tamsel::py
