// Room ahead of appends. Growing a vector's capacity before a sequence of
// appends lets the appends themselves never fail, so an allocation failure
// leaves a structure as it was rather than half updated.
#pragma once

#include <algorithm>
#include <cstddef>

namespace tamsel {

// Makes room for `extra` more elements, growing by half again at least, so
// that repeated calls cost amortised constant time.
template <class Vector>
void reserve_more(Vector& vector, std::size_t extra) {
  if (vector.capacity() - vector.size() >= extra) return;
  vector.reserve(std::max(vector.size() + extra, vector.capacity() + vector.capacity() / 2));
}

}  // namespace tamsel
