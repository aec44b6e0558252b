// Python values as metadata: the value conversion, and the building of a
// vector's record from its (name, value) pairs in schema order.
#pragma once

#include <string>
#include <vector>

#include "metadata/metadata.h"
#include "module/convert.h"

namespace tamsel::py {

// Converts a Python value to the first variant that takes it: Text (a str
// that encodes as UTF-8), Integer (an int, or an object with __index__,
// within the signed 64-bit range), Float (a float, or whatever the
// interpreter converts to one). False when none does; the interpreter's
// errors along the way are discarded, since callers report their own,
// except one that discard_error() keeps: false with that exception set.
bool to_metadata(PyObject* object, Metadata* value);

// A list of (name, value) pairs: a sequence of 2-tuples whose first item is
// a str; a str is refused in place of the list.
bool to_named_values(PyObject* object, std::vector<NamedValue>* pairs);

// The record of one vector: for each schema name in order, the value of the
// last pair with that name, converted. Pairs naming no schema attribute are
// ignored. Fails with ValueError "Missing metadata for attribute '{}'" or
// "Unsupported metadata type for attribute '{}'" for the first failing name.
bool build_record(const std::vector<NamedValue>& pairs, const std::vector<std::string>& schema,
                  std::vector<Metadata>* record);

}  // namespace tamsel::py
