#include "module/errors.h"

#include "common/panic.h"

namespace tamsel::py {

namespace {

constexpr const char* kPanicDoc =
    "Raised when the native code of the module panics.\n"
    "\n"
    "Like SystemExit, it derives from BaseException rather than Exception, so an ordinary\n"
    "`except Exception` does not catch it: it typically propagates all the way up the stack\n"
    "and ends the interpreter.";

constexpr const char* kOpaquePanicMessage = "panic from Lorvan code";

PyObject* g_panic_type = nullptr;  // one per process, never released

}  // namespace

PyObject* panic_exception_type() {
  if (g_panic_type == nullptr) {
    g_panic_type =
        PyErr_NewExceptionWithDoc("quorl_runtime.PanicException", kPanicDoc, PyExc_BaseException, nullptr);
  }
  return g_panic_type;
}

void raise_panic_exception(const char* message, const std::string& location) {
  const char* text = message != nullptr ? message : kOpaquePanicMessage;
  if (location.empty()) {
    PySys_FormatStderr("tamsel: native code panicked: %s\n", text);
  } else {
    PySys_FormatStderr("tamsel: native code panicked at %s: %s\n", location.c_str(), text);
  }
  PyObject* type = panic_exception_type();
  if (type == nullptr) return;  // the creation error stays set
  PyErr_SetString(type, text);
}

PendingError PendingError::fetch() {
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  if (type != nullptr) PyErr_NormalizeException(&type, &value, &traceback);
  PendingError error;
  error.type_.reset(type);
  error.value_.reset(value);
  error.traceback_.reset(traceback);
  if (error.value_ && error.traceback_) PyException_SetTraceback(error.value_.get(), error.traceback_.get());
  return error;
}

void PendingError::restore() { PyErr_Restore(type_.release(), value_.release(), traceback_.release()); }

void continue_panic_if_pending() {
  if (g_panic_type == nullptr || !PyErr_ExceptionMatches(g_panic_type)) return;
  PendingError error = PendingError::fetch();
  std::string message = "<PanicException whose text could not be read>";
  PyRef text(PyObject_Str(error.value()));
  if (text) {
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(text.get(), &size);
    if (utf8 != nullptr) message.assign(utf8, static_cast<std::size_t>(size));
  }
  PyErr_Clear();
  PySys_FormatStderr("tamsel: Python code called by a conversion raised PanicException.\n");
  PySys_FormatStderr("tamsel: the panic continues with its message; its Python traceback follows.\n");
  // Displayed directly rather than through sys.excepthook or PyErr_Print,
  // which would exit the process for an exception that is also SystemExit.
  PyRef traceback(PyException_GetTraceback(error.value()));
  PyErr_Display(error.type(), error.value(), traceback.get());
  PyErr_Clear();
  panic(std::move(message));
}

bool discard_error() {
  continue_panic_if_pending();
  PyObject* pending = PyErr_Occurred();
  if (pending != nullptr && (!PyErr_GivenExceptionMatches(pending, PyExc_Exception) ||
                             PyErr_GivenExceptionMatches(pending, PyExc_MemoryError) ||
                             PyErr_GivenExceptionMatches(pending, PyExc_RecursionError))) {
    return false;
  }
  PyErr_Clear();
  return true;
}

}  // namespace tamsel::py
