// Saving an index to bytes and loading it back (the format is in format.h).
//
// A save reads the index only through its const accessors and leaves it
// unchanged, so it may run beside searches of the same index, also with the
// interpreter lock released; a load builds a new index that nothing else
// sees until it is handed out. A load checks
// every field against the file before it allocates or builds anything for
// it, rebuilds the index through the index's own bulk append or validating
// restore, and verifies the checksum before it hands the index out. Any
// byte string gives either an index or a Format error: never a crash, a
// hang, or an allocation larger than the bytes justify.
//
// No Python here: the caller supplies the keep-going check that lets a long
// save or load be interrupted between chunks.
#pragma once

#include <cstdint>
#include <optional>

#include "flat/flat.h"
#include "hnsw/hnsw.h"
#include "persist/error.h"
#include "persist/format.h"
#include "persist/stream.h"

namespace tamsel::persist {

// The exact number of bytes a save of the index writes.
std::uint64_t saved_size(const Flat& index);
std::uint64_t saved_size(const HNSW& index);

PersistStatus save(const Flat& index, Output& output, const KeepGoing& keep_going);
PersistStatus save(const HNSW& index, Output& output, const KeepGoing& keep_going);

// What a load found: one index, of the class the file holds.
struct LoadedIndex {
  std::optional<Flat> flat;
  std::optional<HNSW> hnsw;
};

// Loads an index. With `expected`, a file of the other class is a Format
// error that names both classes.
PersistStatus load(Input& input, std::optional<IndexClass> expected, const KeepGoing& keep_going,
                   LoadedIndex* loaded);

// The class's name as users know it: "PyFlat" or "PyHNSW".
const char* class_name(IndexClass index_class);

}  // namespace tamsel::persist
