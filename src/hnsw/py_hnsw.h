// PyHNSW: the Python class over the HNSW index.
#pragma once

#include "module/python_class.h"

namespace tamsel::py {

extern PythonClass hnsw_class;

}  // namespace tamsel::py
