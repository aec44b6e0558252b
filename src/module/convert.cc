#include "module/convert.h"

#include <bit>
#include <cstdint>
#include <cstring>
#include <limits>

namespace tamsel::py {

void set_conversion_error(PyObject* object, const char* expected) {
  PyRef qualname(PyType_GetQualName(Py_TYPE(object)));
  if (qualname && PyUnicode_Check(qualname.get())) {
    PyErr_Format(PyExc_TypeError, "'%U' object cannot be converted to '%s'", qualname.get(), expected);
  } else {
    PyErr_Clear();
    PyErr_Format(PyExc_TypeError, "'<failed to extract type name>' object cannot be converted to '%s'", expected);
  }
}

Failed argument_error(const char* name) {
  continue_panic_if_pending();
  PendingError error = PendingError::fetch();
  if (!error.is_exactly(PyExc_TypeError)) {
    error.restore();
    return {};
  }
  PyRef message(PyUnicode_FromFormat("argument '%s': %S", name, error.value()));
  if (!message) return {};
  PyRef replacement(PyObject_CallOneArg(PyExc_TypeError, message.get()));
  if (!replacement) return {};
  // SetCause steals the reference that GetCause hands out. It also sets
  // __suppress_context__, so it is only called when there is a cause to keep.
  if (PyObject* cause = PyException_GetCause(error.value())) PyException_SetCause(replacement.get(), cause);
  PyErr_SetObject(PyExc_TypeError, replacement.get());
  return {};
}

bool to_f64(PyObject* object, double* value) {
  if (PyFloat_CheckExact(object)) {
    *value = PyFloat_AS_DOUBLE(object);
    return true;
  }
  const double converted = PyFloat_AsDouble(object);
  if (converted == -1.0 && PyErr_Occurred()) return false;
  *value = converted;
  return true;
}

namespace {

// The integer behind an int, or behind another object's __index__.
PyRef as_index(PyObject* object) {
  if (PyLong_Check(object)) return PyRef::borrow(object);
  return PyRef(PyNumber_Index(object));
}

}  // namespace

bool to_u32(PyObject* object, std::uint32_t* value) {
  PyRef integer = as_index(object);
  if (!integer) return false;
  const unsigned long long wide = PyLong_AsUnsignedLongLong(integer.get());
  if (wide == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
  if (wide > std::numeric_limits<std::uint32_t>::max()) {
    PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
    return false;
  }
  *value = static_cast<std::uint32_t>(wide);
  return true;
}

bool to_i64(PyObject* object, std::int64_t* value) {
  PyRef integer = as_index(object);
  if (!integer) return false;
  const long long wide = PyLong_AsLongLong(integer.get());
  if (wide == -1 && PyErr_Occurred()) return false;
  *value = wide;
  return true;
}

bool to_utf8(PyObject* object, std::string* text) {
  if (!PyUnicode_Check(object)) {
    set_conversion_error(object, "PyString");
    return false;
  }
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(object, &size);
  if (utf8 == nullptr) return false;
  text->assign(utf8, static_cast<std::size_t>(size));
  return true;
}

bool begin_sequence(PyObject* object, std::size_t* size_hint) {
  if (PyUnicode_Check(object)) {
    PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
    return false;
  }
  if (!PySequence_Check(object)) {
    set_conversion_error(object, "Sequence");
    return false;
  }
  const Py_ssize_t length = PySequence_Size(object);
  if (length < 0) {
    if (!discard_error()) return false;
    *size_hint = 0;
  } else {
    *size_hint = static_cast<std::size_t>(length);
  }
  return true;
}

FloatBuffer::FloatBuffer(PyObject* object, int ndim) {
  const PyTypeObject* type = Py_TYPE(object);
  const bool numpy_array = std::strcmp(type->tp_name, "numpy.ndarray") == 0;
  const bool array_array = std::strcmp(type->tp_name, "array.array") == 0 && ndim == 1;
  const bool memory_view = Py_IS_TYPE(object, &PyMemoryView_Type) && ndim == 1;
  if (!numpy_array && !array_array && !memory_view) return;
  if (PyObject_GetBuffer(object, &view_, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT) < 0) {
    PyErr_Clear();  // the element-by-element path reports whatever is wrong
    return;
  }
  held_ = true;
  // A buffer may start anywhere (numpy.frombuffer with an offset, a cast
  // memoryview of a slice); its values are read as doubles in place only
  // when it starts where a double may.
  const bool aligned = reinterpret_cast<std::uintptr_t>(view_.buf) % alignof(double) == 0;
  usable_ = aligned && view_.ndim == ndim && view_.itemsize == sizeof(double) && native_double(view_.format);
}

FloatBuffer::~FloatBuffer() {
  if (held_ && may_touch_python_objects()) PyBuffer_Release(&view_);
}

bool FloatBuffer::native_double(const char* format) {
  if (format == nullptr) return false;
  if (std::strcmp(format, "d") == 0 || std::strcmp(format, "@d") == 0 || std::strcmp(format, "=d") == 0) {
    return true;
  }
  return std::endian::native == std::endian::little && std::strcmp(format, "<d") == 0;
}

bool to_vector(PyObject* object, std::vector<double>* vector) {
  vector->clear();
  if (FloatBuffer buffer{object, 1}) {
    vector->assign(buffer.data(), buffer.data() + buffer.extent(0));
    return true;
  }
  std::size_t hint = 0;
  return convert_sequence(object, &hint, [&](PyObject* item) {
    if (vector->empty()) vector->reserve(reservation_for(hint));
    double value;
    if (!to_f64(item, &value)) return false;
    vector->push_back(value);
    return true;
  });
}

bool to_vector_batch(PyObject* object, BatchArgument* argument) {
  auto buffer = std::make_unique<FloatBuffer>(object, 2);
  if (*buffer) {
    argument->batch_ = VectorBatch::view(buffer->data(), buffer->extent(0), buffer->extent(1));
    argument->buffer_ = std::move(buffer);
    return true;
  }
  VectorBatch* batch = &argument->batch_;
  std::size_t hint = 0;
  return convert_sequence(object, &hint, [&](PyObject* row) {
    if (batch->empty()) batch->reserve(reservation_for(hint), 0);
    std::size_t row_hint = 0;
    const bool converted = convert_sequence(row, &row_hint, [&](PyObject* item) {
      double value;
      if (!to_f64(item, &value)) return false;
      batch->push_value(value);
      return true;
    });
    if (!converted) return false;
    batch->end_row();
    return true;
  });
}

void BatchArgument::own() {
  batch_.own();
  buffer_.reset();
}

bool to_string_list(PyObject* object, std::vector<std::string>* texts) {
  texts->clear();
  std::size_t hint = 0;
  return convert_sequence(object, &hint, [&](PyObject* item) {
    if (texts->empty()) texts->reserve(reservation_for(hint));
    std::string text;
    if (!to_utf8(item, &text)) return false;
    texts->push_back(std::move(text));
    return true;
  });
}

bool to_named_value(PyObject* object, NamedValue* pair) {
  if (!PyTuple_Check(object)) {
    set_conversion_error(object, "PyTuple");
    return false;
  }
  const Py_ssize_t length = PyTuple_GET_SIZE(object);
  if (length != 2) {
    PyErr_Format(PyExc_ValueError, "expected tuple of length %zd, but got tuple of length %zd", Py_ssize_t{2}, length);
    return false;
  }
  if (!to_utf8(PyTuple_GET_ITEM(object, 0), &pair->name)) return false;
  pair->value = PyRef::borrow(PyTuple_GET_ITEM(object, 1));
  return true;
}

}  // namespace tamsel::py
