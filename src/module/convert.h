// Conversions from Python objects to native values, with the exceptions and
// messages callers see. Each returns false with a Python exception set when
// the object cannot be converted: either the interpreter's own exception or
// one of the texts below. Nested values fail without a prefix; the caller
// reports the failure of a whole argument through argument_error().
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "common/vector_batch.h"
#include "module/errors.h"

namespace tamsel::py {

// Sets TypeError "'{type}' object cannot be converted to '{expected}'".
void set_conversion_error(PyObject* object, const char* expected);

// The argument error: reports the failure of the conversion of the named
// argument. An exception whose type is exactly TypeError is replaced by a
// TypeError "argument '{name}': {message}" that keeps the original's
// __cause__; any other exception passes unchanged. A PanicException
// continues as a panic.
Failed argument_error(const char* name);

// A float: an exact float directly, anything else through __float__ or
// __index__. A genuine -1.0 is a value.
bool to_f64(PyObject* object, double* value);

// An unsigned 32-bit integer: an int (or subclass) directly, anything else
// through __index__. Values of 2**32 up to 2**64 - 1 fail with OverflowError
// "out of range integral type conversion attempted"; negative values and
// larger ones with the interpreter's own OverflowError.
bool to_u32(PyObject* object, std::uint32_t* value);

// A signed 64-bit integer, by the same path.
bool to_i64(PyObject* object, std::int64_t* value);

// The UTF-8 text of a str (or subclass); anything else is a conversion error
// for "PyString", and lone surrogates raise UnicodeEncodeError.
bool to_utf8(PyObject* object, std::string* text);

// The checks that start every sequence conversion: a str is refused with
// TypeError "Can't extract `str` to `Vec`", a non-sequence with a conversion
// error for "Sequence". On success, *size_hint is the object's length, or 0
// if it cannot be had; only a hint, since iteration decides.
bool begin_sequence(PyObject* object, std::size_t* size_hint);

// Converts a sequence element by element: iterates the object and calls
// convert_element(item) for each item in order; the first failure (of an
// element, or of the iteration) is the failure of the whole sequence.
template <class ConvertElement>
bool convert_sequence(PyObject* object, std::size_t* size_hint, ConvertElement&& convert_element) {
  if (!begin_sequence(object, size_hint)) return false;
  PyRef iterator(PyObject_GetIter(object));
  if (!iterator) return false;
  while (PyRef item{PyIter_Next(iterator.get())}) {
    if (!convert_element(item.get())) return false;
  }
  return !PyErr_Occurred();
}

// A C-contiguous, aligned buffer of native doubles with a given number of
// dimensions, exported by a type whose iteration is known to yield exactly
// the buffer's values (its rows, for two dimensions): numpy.ndarray,
// array.array and a one-dimensional memoryview, each of its exact type. Such
// an object can be copied in one step with the same result as converting it
// element by element. Any other object, subclasses included, is not viewed
// at all, and the view is unusable (false) without an error set.
class FloatBuffer {
 public:
  FloatBuffer(PyObject* object, int ndim);
  FloatBuffer(const FloatBuffer&) = delete;
  FloatBuffer& operator=(const FloatBuffer&) = delete;
  ~FloatBuffer();

  explicit operator bool() const { return usable_; }
  const double* data() const { return static_cast<const double*>(view_.buf); }
  std::size_t extent(int dimension) const { return static_cast<std::size_t>(view_.shape[dimension]); }

 private:
  static bool native_double(const char* format);

  Py_buffer view_{};
  bool held_ = false;
  bool usable_ = false;
};

// A vector: a sequence of floats.
bool to_vector(PyObject* object, std::vector<double>* vector);

// A converted list of vectors. From a float buffer the batch views the
// caller's array instead of copying it; own() copies it, and must be called
// before anything runs that could call back into Python and change it.
class BatchArgument {
 public:
  const VectorBatch& batch() const { return batch_; }
  void own();
  // True while the batch reads the caller's array in place.
  bool views_caller() const { return buffer_ != nullptr; }

 private:
  friend bool to_vector_batch(PyObject* object, BatchArgument* argument);
  std::unique_ptr<FloatBuffer> buffer_;
  VectorBatch batch_;
};

// A list of vectors: a sequence of sequences of floats.
bool to_vector_batch(PyObject* object, BatchArgument* argument);

// A list of texts: a sequence of str.
bool to_string_list(PyObject* object, std::vector<std::string>* texts);

// A (name, value) pair: a tuple (or subclass) of exactly two items whose
// first is a str. The value is taken as it is.
struct NamedValue {
  std::string name;
  PyRef value;
};
bool to_named_value(PyObject* object, NamedValue* pair);

// Caps a size hint taken from a caller-supplied length before it is used
// to reserve memory, so that a lying __len__ cannot make us allocate.
inline std::size_t reservation_for(std::size_t size_hint) {
  constexpr std::size_t kMaxReservation = std::size_t{1} << 16;
  return size_hint < kMaxReservation ? size_hint : kMaxReservation;
}

}  // namespace tamsel::py
