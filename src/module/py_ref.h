// PyRef: the owner of one strong reference to a Python object. Every owned
// PyObject* in the module lives in one, so that every way out of a call,
// including a C++ exception, releases what the call took.
//
// One way out releases nothing: when the interpreter ends a daemon thread
// during finalisation, the thread unwinds without the interpreter lock (see
// boundary.h), and touching an object then races the finalising thread. The
// references are left behind on purpose; the process is ending.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace tamsel::py {

// Whether the calling thread holds the interpreter lock, as it does
// everywhere in the module except while the interpreter unwinds a thread it
// is ending. (With subinterpreters the check is unavailable and says yes.)
inline bool may_touch_python_objects() { return PyGILState_Check() != 0; }

class PyRef {
 public:
  PyRef() = default;
  // Takes over a new reference (which may be null after a failed call).
  explicit PyRef(PyObject* owned) : object_(owned) {}
  PyRef(const PyRef&) = delete;
  PyRef& operator=(const PyRef&) = delete;
  PyRef(PyRef&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
  PyRef& operator=(PyRef&& other) noexcept {
    if (this != &other) reset(std::exchange(other.object_, nullptr));
    return *this;
  }
  ~PyRef() {
    if (object_ != nullptr && may_touch_python_objects()) Py_DECREF(object_);
  }

  // Takes a new reference to a borrowed object.
  static PyRef borrow(PyObject* borrowed) {
    Py_XINCREF(borrowed);
    return PyRef(borrowed);
  }

  PyObject* get() const { return object_; }
  explicit operator bool() const { return object_ != nullptr; }
  // Gives the reference to the caller (for returning it to the interpreter,
  // or to an API that steals it).
  PyObject* release() { return std::exchange(object_, nullptr); }
  void reset(PyObject* owned = nullptr) {
    PyObject* old = std::exchange(object_, owned);
    Py_XDECREF(old);
  }

 private:
  PyObject* object_ = nullptr;
};

}  // namespace tamsel::py
