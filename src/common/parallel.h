// Work spread over the cores the process may use: the items 0 .. count-1
// are handed out in chunks to helper threads and the calling thread alike.
// Only the calling thread consults the checkpoint, between two of its own
// chunks; once it says stop, no chunk starts any more. A C++ exception in
// any thread stops the rest and is rethrown to the caller once every helper
// has finished.
//
// Thread-safety: `work` runs concurrently on several threads, each time on
// a different chunk; it must touch only what its chunk owns and const data.
#pragma once

#include <cstddef>
#include <functional>

#include "common/checkpoint.h"

namespace tamsel {

// The number of cores this process may run on (its affinity mask), at least 1.
std::size_t usable_cores();

// Runs work(begin, end) over consecutive chunks of at most `chunk` items on
// up to `threads` threads. True when every item was done, false when the
// checkpoint stopped it.
bool run_parallel(std::size_t count, std::size_t chunk, std::size_t threads,
                  const std::function<void(std::size_t begin, std::size_t end)>& work, Checkpoint& checkpoint);

}  // namespace tamsel
