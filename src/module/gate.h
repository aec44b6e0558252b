// The process-wide gate of core sections: one mutex and condition variable
// through which a waiting borrow learns that a core section has ended, and
// through which a fork waits until no core section is running, so that the
// child gets every index in a state some call left it in.
//
// Thread-safety: every function may be called from any thread, with or
// without the interpreter lock; none of them waits for the lock.
#pragma once

#include <chrono>
#include <cstdint>

namespace tamsel::py {

// A counter that advances whenever a core section ends.
std::uint64_t gate_epoch();
// Waits until the counter has moved past `seen`, or `limit` has passed.
void gate_wait(std::uint64_t seen, std::chrono::milliseconds limit);
// Moves the counter on and wakes every waiter.
void gate_advance();

// Brackets the part of a core section that runs without the interpreter
// lock and may change an index. A fork in progress holds begin back until
// the child exists.
void gate_begin_flight();
void gate_end_flight();

// The fork generation: 0 in the process that imported the module, one more
// in each child of a fork.
std::uint64_t fork_generation();

// Registers the fork handlers; called once, at import.
void install_fork_handlers();

}  // namespace tamsel::py
