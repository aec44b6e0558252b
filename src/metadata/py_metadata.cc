#include "metadata/py_metadata.h"

#include <string_view>
#include <unordered_map>

namespace tamsel::py {

bool to_metadata(PyObject* object, Metadata* value) {
  if (PyUnicode_Check(object)) {
    Py_ssize_t size = 0;
    if (const char* utf8 = PyUnicode_AsUTF8AndSize(object, &size)) {
      *value = std::string(utf8, static_cast<std::size_t>(size));
      return true;
    }
    if (!discard_error()) return false;
  }
  if (PyLong_Check(object) || PyIndex_Check(object)) {
    std::int64_t integer;
    if (to_i64(object, &integer)) {
      *value = integer;
      return true;
    }
    if (!discard_error()) return false;
  }
  double real;
  if (to_f64(object, &real)) {
    *value = real;
    return true;
  }
  discard_error();  // what stays set is the caller's failure
  return false;
}

bool to_named_values(PyObject* object, std::vector<NamedValue>* pairs) {
  pairs->clear();
  std::size_t hint = 0;
  return convert_sequence(object, &hint, [&](PyObject* item) {
    if (pairs->empty()) pairs->reserve(reservation_for(hint));
    NamedValue pair;
    if (!to_named_value(item, &pair)) return false;
    pairs->push_back(std::move(pair));
    return true;
  });
}

namespace {

// Sets ValueError with a message that names a schema attribute. The name is
// passed as text, so that a name holding a NUL is not cut short.
void set_attribute_error(const char* format, const std::string& name) {
  PyRef text(PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size())));
  if (text) PyErr_Format(PyExc_ValueError, format, text.get());
}

}  // namespace

bool build_record(const std::vector<NamedValue>& pairs, const std::vector<std::string>& schema,
                  std::vector<Metadata>* record) {
  std::unordered_map<std::string_view, PyObject*> by_name;
  for (const NamedValue& pair : pairs) by_name[pair.name] = pair.value.get();  // the last pair wins
  record->clear();
  record->reserve(schema.size());
  for (const std::string& name : schema) {
    const auto found = by_name.find(name);
    if (found == by_name.end()) {
      set_attribute_error("Missing metadata for attribute '%U'", name);
      return false;
    }
    Metadata value;
    if (!to_metadata(found->second, &value)) {
      if (!PyErr_Occurred()) set_attribute_error("Unsupported metadata type for attribute '%U'", name);
      return false;
    }
    record->push_back(std::move(value));
  }
  return true;
}

}  // namespace tamsel::py
