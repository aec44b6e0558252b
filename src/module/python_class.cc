#include "module/python_class.h"

#include "common/panic.h"

namespace tamsel::py {

PyTypeObject* PythonClass::type() {
  if (type_ != nullptr) return type_;
  if (class_doc_.empty()) {
    class_doc_ = std::string(def_.python_name) + def_.text_signature + "\n--\n\n" + def_.doc;
  }
  // The spec name carries no module of its own, so "builtins" stands in
  // front of the dot and becomes the type's __module__.
  // Kept in the object: some interpreter versions point tp_name into it.
  spec_name_ = std::string("builtins.") + def_.python_name;
  PyType_Slot slots[] = {
      {Py_tp_base, &PyBaseObject_Type},
      {Py_tp_new, reinterpret_cast<void*>(def_.constructor)},
      {Py_tp_dealloc, reinterpret_cast<void*>(def_.deallocator)},
      {Py_tp_doc, const_cast<char*>(class_doc_.c_str())},
      {Py_tp_methods, def_.methods},
      {0, nullptr},
  };
  PyType_Spec spec{spec_name_.c_str(), def_.basic_size, 0, Py_TPFLAGS_DEFAULT, slots};
  type_ = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&spec));
  return type_;
}

PyTypeObject* PythonClass::type_or_panic() {
  if (PyTypeObject* created = type()) return created;
  PyErr_Print();
  panic(std::string("failed to create type object for ") + def_.python_name);
}

bool PythonClass::add_to_module(PyObject* module) {
  PyTypeObject* created = type();
  if (created == nullptr) return false;
  PyRef all(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
    PyErr_Clear();
    all.reset(PyList_New(0));
    if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) return false;
  }
  if (!PyList_Check(all.get())) {
    set_conversion_error(all.get(), "PyList");
    return false;
  }
  PyRef name(PyUnicode_FromString(def_.python_name));
  if (!name || PyList_Append(all.get(), name.get()) < 0) return false;
  return PyObject_SetAttr(module, name.get(), reinterpret_cast<PyObject*>(created)) == 0;
}

}  // namespace tamsel::py
