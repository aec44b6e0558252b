// Argument binding: one mechanism, driven by a description of each callable,
// that maps a call's positional and keyword arguments onto parameter slots
// with the interpreter-style messages of a real Python function.
//
// Every parameter may be given by position or by keyword, except the last
// `keyword_only` ones, which only a keyword can give; the first `required`
// parameters (one, unless there are none) are required and the rest are
// optional. Nothing else is accepted: no extra positional or keyword
// arguments.
#pragma once

#include <array>
#include <cstddef>
#include <initializer_list>
#include <string>

#include "module/py_ref.h"

namespace tamsel::py {

inline constexpr std::size_t kMaxParameters = 8;

struct CallableSpec {
  const char* class_name;
  const char* function_name;
  std::array<const char*, kMaxParameters> parameters;
  std::size_t parameter_count;
  std::size_t required;
  std::size_t keyword_only = 0;  // the last parameters, given by keyword only

  std::size_t positional_count() const { return parameter_count - keyword_only; }

  // "{class}.{function}()", the name used in binding messages.
  std::string display_name() const;
};

constexpr CallableSpec make_callable(const char* class_name, const char* function_name,
                                     std::initializer_list<const char*> parameters) {
  CallableSpec spec{class_name, function_name, {}, 0, 1};
  for (const char* name : parameters) spec.parameters[spec.parameter_count++] = name;
  if (spec.parameter_count == 0) spec.required = 0;  // a callable without parameters
  return spec;
}

// A callable whose `keyword_only` parameters come after the positional ones.
constexpr CallableSpec make_callable(const char* class_name, const char* function_name,
                                     std::initializer_list<const char*> parameters,
                                     std::initializer_list<const char*> keyword_only) {
  CallableSpec spec = make_callable(class_name, function_name, parameters);
  for (const char* name : keyword_only) spec.parameters[spec.parameter_count++] = name;
  spec.keyword_only = keyword_only.size();
  return spec;
}

// The bound arguments of one call: borrowed references, null where a
// parameter was not given. They stay valid for the call, since the caller's
// argument array or tuple and dictionary keep them alive.
class BoundArgs {
 public:
  PyObject* operator[](std::size_t index) const { return slots_[index]; }
  // The slot, or null when it is empty or holds None: an optional parameter
  // in either state takes its default.
  PyObject* optional(std::size_t index) const { return slots_[index] == Py_None ? nullptr : slots_[index]; }

 private:
  friend class Binder;
  std::array<PyObject*, kMaxParameters> slots_{};
};

// Binds a fast call (positional arguments in an array, keyword names in a
// tuple with their values after the positional ones). Returns false with a
// TypeError set on failure.
bool bind_fastcall(const CallableSpec& spec, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                   BoundArgs* bound);

// Binds a call given as an argument tuple and an optional keyword dictionary
// (constructors). Same rules and messages as bind_fastcall.
bool bind_tuple(const CallableSpec& spec, PyObject* args, PyObject* kwargs, BoundArgs* bound);

}  // namespace tamsel::py
