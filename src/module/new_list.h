// Building result lists: the one loop both classes need, with the
// reference of every item owned until the list takes it.
#pragma once

#include <cstddef>

#include "module/py_ref.h"

namespace tamsel::py {

// A new list of `count` items, item i made by make_item(i): a new reference,
// or null with an exception set, which fails the whole list.
template <class MakeItem>
PyObject* new_list(std::size_t count, MakeItem&& make_item) {
  PyRef list(PyList_New(static_cast<Py_ssize_t>(count)));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < count; ++i) {
    PyObject* item = make_item(i);
    if (item == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
  }
  return list.release();
}

}  // namespace tamsel::py
