// Saving and loading from Python: the `save`, `load` and `__reduce__`
// methods of both classes share these bodies, and pickle finds the private
// module function `_restore` that turns saved bytes back into an index.
//
// Format errors become ValueError with the loader's message, failed system
// calls OSError with errno and the file name, and Ctrl-C during a long save
// or load KeyboardInterrupt: the signal is looked at between chunks, and a
// save stopped so leaves no temporary file and the target untouched.
#pragma once

#include "module/binding.h"
#include "module/python_class.h"
#include "persist/persist.h"

namespace tamsel::py {

// index.save(path): writes the index atomically to the file.
PyObject* save_index(const Flat& index, const BoundArgs& args);
PyObject* save_index(const HNSW& index, const BoundArgs& args);

// Class.load(path): a new index of that class from the file.
PyObject* load_index(persist::IndexClass index_class, const BoundArgs& args);

// index.__reduce__(): (tamsel._restore, (saved bytes,)).
PyObject* reduce_index(const Flat& index, const BoundArgs& args);
PyObject* reduce_index(const HNSW& index, const BoundArgs& args);

// The module's private functions: _restore(data).
extern PyMethodDef module_functions[];

}  // namespace tamsel::py
