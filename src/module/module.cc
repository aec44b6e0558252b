// The module's entry point. The module is created at most once per process:
// it holds no per-interpreter state, and a second initialisation, from a
// re-import or another interpreter, is refused.
#include "flat/py_flat.h"
#include "hnsw/py_hnsw.h"
#include "module/gate.h"
#include "module/boundary.h"
#include "module/persistence.h"

namespace {

using tamsel::py::PyRef;

PyModuleDef g_module_def = {
    PyModuleDef_HEAD_INIT,
    "tamsel",
    "",       // __doc__ is the empty string
    0,        // no per-module state
    tamsel::py::module_functions,  // private: the reconstructor pickle finds
    nullptr, nullptr, nullptr, nullptr,
};

PyObject* g_module = nullptr;  // set by the first successful initialisation

constexpr int kApiVersion = 1013;

}  // namespace

PyMODINIT_FUNC PyInit_tamsel(void) {
  return tamsel::py::call_boundary([]() -> PyObject* {
    if (g_module != nullptr) {
      PyErr_SetString(PyExc_ImportError,
                      "modules compiled for CPython 3.8 or older may only be initialized once per interpreter process");
      return nullptr;
    }
    PyRef module(PyModule_Create2(&g_module_def, kApiVersion));
    if (!module) return nullptr;
    if (!tamsel::py::flat_class.add_to_module(module.get()) || !tamsel::py::hnsw_class.add_to_module(module.get())) {
      return nullptr;
    }
    tamsel::py::install_fork_handlers();
    g_module = PyRef::borrow(module.get()).release();
    return module.release();
  });
}
