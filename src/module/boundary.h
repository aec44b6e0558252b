// The method trampoline: every constructor, method and deallocation runs its
// body through here, so that no C++ exception ever crosses into the
// interpreter.
//
// A body returns a new reference, or null with a Python exception set (the
// error values of the call). A Panic, or any unexpected C++ exception,
// becomes a notice on standard error and a PanicException; an allocation
// failure becomes MemoryError. A failure while turning a panic into the
// exception ends the process, since no consistent state is left to return.
//
// One exception passes through untouched: the forced unwind with which the
// thread library ends a thread (pthread_exit, called by the interpreter on a
// daemon thread that asks for the interpreter lock during finalisation).
// Swallowing it aborts the process, so every catch-all here rethrows it
// first, and the boundaries are not noexcept, which would turn it into
// std::terminate. The unwinding thread does not hold the interpreter lock,
// so the handles it destroys on the way leave their objects alone (py_ref.h).
#pragma once

#include <cxxabi.h>

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <new>
#include <stdexcept>

#include "common/panic.h"
#include "module/errors.h"

namespace tamsel::py {

[[noreturn]] inline void abort_uncaught_panic() noexcept {
  std::fputs("uncaught panic at ffi boundary\n", stderr);
  std::fflush(stderr);
  std::abort();
}

// Runs `body` and turns a C++ exception into the matching Python exception.
// Returns what the body returned, or null with an exception set.
template <class Body>
PyObject* call_boundary(Body&& body) {
  try {
    try {
      return body();
    } catch (abi::__forced_unwind&) {
      throw;
    } catch (const Panic& panic) {
      raise_panic_exception(panic.message().c_str(), panic.location());
    } catch (const std::bad_alloc&) {
      PyErr_NoMemory();
    } catch (const std::length_error&) {  // a size beyond what can be allocated
      PyErr_NoMemory();
    } catch (const std::exception& error) {
      raise_panic_exception(error.what(), {});
    } catch (...) {
      raise_panic_exception(nullptr, {});
    }
    return nullptr;
  } catch (abi::__forced_unwind&) {
    throw;
  } catch (...) {
    abort_uncaught_panic();
  }
}

// The deallocation variant: a destructor has no caller to raise to, so a
// failure is reported through the interpreter's unraisable-exception hook.
// An exception already pending when deallocation started is kept.
template <class Body>
void dealloc_boundary(Body&& body) {
  std::exception_ptr failure;
  try {
    body();
    return;
  } catch (abi::__forced_unwind&) {
    throw;
  } catch (...) {
    failure = std::current_exception();
  }
  try {
    PendingError outer = PendingError::fetch();
    call_boundary([&]() -> PyObject* { std::rethrow_exception(failure); });
    PyErr_WriteUnraisable(nullptr);
    outer.restore();
  } catch (abi::__forced_unwind&) {
    throw;
  } catch (...) {
    abort_uncaught_panic();
  }
}

}  // namespace tamsel::py
