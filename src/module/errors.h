// The module's error reporting towards the interpreter: the panic exception,
// the pending-error handle, and the rule by which a PanicException raised by
// Python code during a conversion continues as a panic of the call.
#pragma once

#include <string>

#include "module/py_ref.h"

namespace tamsel::py {

// The result of a step that failed with a Python exception set; converts to
// either failure indication of the module's functions, false or null.
struct Failed {
  constexpr operator bool() const { return false; }  // NOLINT: implicit by design
  constexpr operator PyObject*() const { return nullptr; }  // NOLINT
};

// The panic exception type "quorl_runtime.PanicException", derived directly
// from BaseException. Created on first need and kept for the life of the
// process. Returns a borrowed reference, or null with a Python error set.
PyObject* panic_exception_type();

// Writes the panic notice to standard error and sets a PanicException as the
// current Python exception. A null message stands for a panic whose payload
// is not text. `location` may be empty.
void raise_panic_exception(const char* message, const std::string& location);

// The current Python exception, taken out of the interpreter and normalized.
// It is restored by restore(), or released with the handle.
class PendingError {
 public:
  // Takes the current exception; empty if none is set.
  static PendingError fetch();

  bool empty() const { return !type_; }
  PyObject* type() const { return type_.get(); }
  PyObject* value() const { return value_.get(); }
  bool is_exactly(PyObject* type) const { return type_.get() == type; }
  // Puts the exception back as the current one.
  void restore();

 private:
  PyRef type_, value_, traceback_;
};

// If the current Python exception is a PanicException (raised by Python
// code that a conversion ran), writes a two-line notice and its traceback to
// standard error and throws a Panic with the exception's text: the call then
// ends in a new PanicException with the same message. Otherwise does nothing.
void continue_panic_if_pending();

// Clears the current Python exception, for conversions whose failure is
// reported by a message of the caller's own, and returns true. An exception
// that says the interpreter cannot go on rather than that the value has no
// such form stays set, and false is returned: KeyboardInterrupt, SystemExit
// and anything else not derived from Exception, MemoryError and
// RecursionError. So an interrupt is never lost, and a callback that
// recurses without end unwinds at once instead of being retried by the next
// conversion step at every level. A PanicException still continues as a
// panic.
bool discard_error();

}  // namespace tamsel::py
