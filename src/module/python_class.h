// PythonClass: one of the module's classes as a type object, created on first
// use and kept for the life of the process; and the adapters through which
// every constructor, method and deallocation of the classes is entered.
//
// An instance is the object header, the index record it owns by value, and
// its borrow state (borrow.h). Methods take their borrow after binding and
// hold it until the result or error is built; Python code run by a
// conversion can then only re-enter the same instance under the borrow
// rules. A method body runs its core work through release_lock()
// (core_section.h), which lets other threads run meanwhile and makes those
// that call the same instance wait for their turn.
#pragma once

#include <atomic>
#include <new>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>

#include "module/binding.h"
#include "module/borrow.h"
#include "module/boundary.h"
#include "module/core_section.h"
#include "module/convert.h"
#include "module/fault_injection.h"

namespace tamsel::py {

struct ClassDef {
  const char* python_name;     // "PyFlat"
  const char* text_signature;  // "(dim, metric=None)"
  const char* doc;             // the documentation proper
  int basic_size;
  newfunc constructor;
  destructor deallocator;
  PyMethodDef* methods;
};

class PythonClass {
 public:
  explicit PythonClass(ClassDef def) : def_(def) {}

  const char* python_name() const { return def_.python_name; }

  // The type object, created on first use; null with a Python error set if
  // the interpreter refuses to create it.
  PyTypeObject* type();

  // The type object for a method call, where a creation failure has no error
  // value to become: it is printed and the call panics.
  PyTypeObject* type_or_panic();

  // Adds the type to `module` under its name, appending the name to the
  // module's __all__ (created empty if missing). False with an error set.
  bool add_to_module(PyObject* module);

 private:
  ClassDef def_;
  PyTypeObject* type_ = nullptr;  // one per process, never released
  std::string class_doc_;
  std::string spec_name_;
};

template <class Payload>
struct Instance {
  PyObject_HEAD
  Payload payload;
  BorrowState borrow;
};

// A borrow of an instance for the length of one call, released on every way
// out (borrow.h has the rules). Holds a reference to the object meanwhile,
// so Python code that drops the last outside reference during a conversion
// cannot free it under us.
template <class Payload>
class Borrow {
 public:
  Borrow(PyObject* self, PythonClass& cls, Access access) {
    if (!PyObject_TypeCheck(self, cls.type_or_panic())) {
      set_conversion_error(self, cls.python_name());
      return;
    }
    auto* instance = reinterpret_cast<Instance<Payload>*>(self);
    self_ = PyRef::borrow(self);  // before a wait can run other threads
    record_.emplace(instance->borrow, access);
    if (record_->held()) instance_ = instance;
  }

  Borrow(const Borrow&) = delete;
  Borrow& operator=(const Borrow&) = delete;

  explicit operator bool() const { return instance_ != nullptr; }
  Payload& payload() const { return instance_->payload; }

 private:
  PyRef self_;  // released after the record, in reverse order of declaration
  std::optional<BorrowRecord> record_;
  Instance<Payload>* instance_ = nullptr;
};

// A method of a class, entered with the fast calling convention. `body` takes
// the instance's record (const for shared access) and the bound arguments,
// and returns a new reference or null with an error set.
template <class Payload, PythonClass& cls, const CallableSpec& spec, Access access, auto body>
PyObject* method(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return call_boundary([&]() -> PyObject* {
    BoundArgs bound;
    if (!bind_fastcall(spec, args, PyVectorcall_NARGS(nargsf), kwnames, &bound)) return nullptr;
    Borrow<Payload> borrow(self, cls, access);
    if (!borrow) return nullptr;
    fault_point(spec.class_name, spec.function_name);
    if constexpr (access == Access::Shared) {
      return body(std::as_const(borrow.payload()), bound);
    } else {
      return body(borrow.payload(), bound);
    }
  });
}

// A new instance of the type around a record built beforehand; null with an
// error set if the object cannot be allocated.
template <class Payload>
PyObject* new_instance(PyTypeObject* type, Payload payload) {
  static_assert(std::is_nothrow_move_constructible_v<Payload>);
  PyObject* object = type->tp_alloc(type, 0);
  if (object == nullptr) return nullptr;
  auto* instance = reinterpret_cast<Instance<Payload>*>(object);
  new (&instance->payload) Payload(std::move(payload));
  new (&instance->borrow) BorrowState;
  return object;
}

// The class's constructor (tp_new). `build` converts the bound arguments into
// the record, or returns false with an error set; the object is allocated
// only once the record exists.
template <class Payload, const CallableSpec& spec, auto build>
PyObject* construct(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  static_assert(std::is_nothrow_move_constructible_v<Payload>);
  return call_boundary([&]() -> PyObject* {
    BoundArgs bound;
    if (!bind_tuple(spec, args, kwargs, &bound)) return nullptr;
    std::optional<Payload> payload;
    if (!build(bound, &payload)) return nullptr;
    fault_point(spec.class_name, spec.function_name);
    return new_instance(type, std::move(*payload));
  });
}

// A method of the class itself (a classmethod), entered with the fast
// calling convention. `body` takes the bound arguments and returns a new
// reference or null with an error set.
template <const CallableSpec& spec, auto body>
PyObject* class_method(PyObject* /*cls*/, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return call_boundary([&]() -> PyObject* {
    BoundArgs bound;
    if (!bind_fastcall(spec, args, PyVectorcall_NARGS(nargsf), kwnames, &bound)) return nullptr;
    fault_point(spec.class_name, spec.function_name);
    return body(bound);
  });
}

// The class's deallocator (tp_dealloc): drops the record with everything it
// owns, then frees the object.
template <class Payload, const char* class_name>
void deallocate(PyObject* self) {
  auto* instance = reinterpret_cast<Instance<Payload>*>(self);
  dealloc_boundary([&] {
    instance->payload.~Payload();
    instance->borrow.~BorrowState();
    fault_point(class_name, "dealloc");
  });
  PyTypeObject* type = Py_TYPE(self);
  type->tp_free(self);
  Py_DECREF(type);  // instances of heap types own a reference to their type
}

// The method table entry for a fast-call method that takes keywords.
template <auto function>
PyMethodDef method_entry(const char* name, const char* doc) {
  return {name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(function)),
          METH_FASTCALL | METH_KEYWORDS, doc};
}

// The same for a class method.
template <auto function>
PyMethodDef class_method_entry(const char* name, const char* doc) {
  return {name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(function)),
          METH_CLASS | METH_FASTCALL | METH_KEYWORDS, doc};
}

}  // namespace tamsel::py
