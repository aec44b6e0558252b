// PyFlat: the Python class over the flat index.
#pragma once

#include "module/python_class.h"

namespace tamsel::py {

extern PythonClass flat_class;

}  // namespace tamsel::py
