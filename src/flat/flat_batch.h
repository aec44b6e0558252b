// The batch search of a Flat index: many queries answered in one pass per
// tile of queries, spread over the cores the process may use. Each tile
// streams through the stored blocks once, scoring every block for each of
// its queries while the block is in cache, instead of one full pass per
// query. With the Euclidean float copy, the tile's queries first go over
// each run of blocks together as a float matrix product (the product
// screen of metric/product_screen.h), and only the blocks it cannot rule
// out are scored exactly. Every query's answer is exactly what Flat::search
// gives it.
//
// Thread-safety: reads the index through its const members only; the
// caller keeps the index unchanged meanwhile.
#pragma once

#include <cstdint>
#include <vector>

#include "common/checkpoint.h"
#include "common/status.h"
#include "common/vector_batch.h"
#include "flat/flat.h"

namespace tamsel {

// Answers every query of the batch (each of `flat.dim()` values) into
// (*answers)[i]. EmptyIndex, before any work, when nothing is stored. When
// the checkpoint says stop, *completed is false and the answers are
// incomplete.
Status<FlatError> search_batch(const Flat& flat, const VectorBatch& queries, std::uint32_t k, std::size_t threads,
                               Checkpoint& checkpoint, std::vector<std::vector<FlatHit>>* answers,
                               bool* completed);

}  // namespace tamsel
