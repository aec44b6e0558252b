#include "module/binding.h"

namespace tamsel::py {

std::string CallableSpec::display_name() const {
  return std::string(class_name) + "." + function_name + "()";
}

class Binder {
 public:
  Binder(const CallableSpec& spec, BoundArgs* bound) : spec_(spec), bound_(bound) { bound_->slots_.fill(nullptr); }

  // `keyword_only_given` counts the keyword-only parameters among the
  // call's keywords; the interpreter names them when too many positional
  // arguments come with them.
  bool bind_positional(PyObject* const* args, Py_ssize_t nargs, std::size_t keyword_only_given) {
    positional_ = static_cast<std::size_t>(nargs);
    const std::size_t most = spec_.positional_count();
    if (positional_ > most) {
      const std::string name = spec_.display_name();
      const char* verb = positional_ == 1 && keyword_only_given == 0 ? "was" : "were";
      std::string given = std::to_string(positional_);
      if (keyword_only_given > 0) {
        given += positional_ == 1 ? " positional argument" : " positional arguments";
        given += " (and " + std::to_string(keyword_only_given) +
                 (keyword_only_given == 1 ? " keyword-only argument)" : " keyword-only arguments)");
      }
      if (spec_.required == most) {
        PyErr_Format(PyExc_TypeError, "%s takes %zu positional arguments but %s %s given", name.c_str(), most,
                     given.c_str(), verb);
      } else {
        PyErr_Format(PyExc_TypeError, "%s takes from %zu to %zu positional arguments but %s %s given",
                     name.c_str(), spec_.required, most, given.c_str(), verb);
      }
      return false;
    }
    for (std::size_t i = 0; i < positional_; ++i) bound_->slots_[i] = args[i];
    return true;
  }

  bool bind_keyword(PyObject* keyword, PyObject* value) {
    for (std::size_t i = 0; i < spec_.parameter_count; ++i) {
      if (!PyUnicode_Check(keyword) || PyUnicode_CompareWithASCIIString(keyword, spec_.parameters[i]) != 0) continue;
      if (bound_->slots_[i] != nullptr) {
        PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%s'", spec_.display_name().c_str(),
                     spec_.parameters[i]);
        return false;
      }
      bound_->slots_[i] = value;
      return true;
    }
    PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%S'", spec_.display_name().c_str(),
                 keyword);
    return false;
  }

  bool is_keyword_only(PyObject* keyword) const {
    for (std::size_t i = spec_.positional_count(); i < spec_.parameter_count; ++i) {
      if (PyUnicode_Check(keyword) && PyUnicode_CompareWithASCIIString(keyword, spec_.parameters[i]) == 0) {
        return true;
      }
    }
    return false;
  }

  bool check_required() {
    if (positional_ >= spec_.required) return true;
    std::string missing;
    std::size_t count = 0;
    for (std::size_t i = 0; i < spec_.required; ++i) {
      if (bound_->slots_[i] != nullptr) continue;
      if (count++ > 0) missing += ", ";
      missing += std::string("'") + spec_.parameters[i] + "'";
    }
    if (count == 0) return true;
    PyErr_Format(PyExc_TypeError, "%s missing %zu required positional %s: %s", spec_.display_name().c_str(), count,
                 count == 1 ? "argument" : "arguments", missing.c_str());
    return false;
  }

 private:
  const CallableSpec& spec_;
  BoundArgs* bound_;
  std::size_t positional_ = 0;
};

bool bind_fastcall(const CallableSpec& spec, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                   BoundArgs* bound) {
  Binder binder(spec, bound);
  std::size_t keyword_only_given = 0;
  if (kwnames != nullptr && spec.keyword_only > 0 && static_cast<std::size_t>(nargs) > spec.positional_count()) {
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(kwnames); ++i) {
      keyword_only_given += binder.is_keyword_only(PyTuple_GET_ITEM(kwnames, i));
    }
  }
  if (!binder.bind_positional(args, nargs, keyword_only_given)) return false;
  if (kwnames != nullptr) {
    const Py_ssize_t count = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t i = 0; i < count; ++i) {
      if (!binder.bind_keyword(PyTuple_GET_ITEM(kwnames, i), args[nargs + i])) return false;
    }
  }
  return binder.check_required();
}

bool bind_tuple(const CallableSpec& spec, PyObject* args, PyObject* kwargs, BoundArgs* bound) {
  Binder binder(spec, bound);
  std::size_t keyword_only_given = 0;
  if (kwargs != nullptr && spec.keyword_only > 0 &&
      static_cast<std::size_t>(PyTuple_GET_SIZE(args)) > spec.positional_count()) {
    Py_ssize_t position = 0;
    PyObject *keyword, *value;
    while (PyDict_Next(kwargs, &position, &keyword, &value)) keyword_only_given += binder.is_keyword_only(keyword);
  }
  if (!binder.bind_positional(PySequence_Fast_ITEMS(args), PyTuple_GET_SIZE(args), keyword_only_given)) {
    return false;
  }
  if (kwargs != nullptr) {
    Py_ssize_t position = 0;
    PyObject *keyword, *value;
    while (PyDict_Next(kwargs, &position, &keyword, &value)) {
      if (!binder.bind_keyword(keyword, value)) return false;
    }
  }
  return binder.check_required();
}

}  // namespace tamsel::py
