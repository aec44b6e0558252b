#include "flat/flat_batch.h"

#include <algorithm>
#include <memory>
#include <optional>

#include "common/parallel.h"
#include "flat/flat_selection.h"

namespace tamsel {

namespace {

// Queries scanned together, and blocks scored for each of them in turn:
// a run of blocks (kRunBlocks * kLanes * dim values) stays in the second
// level cache while the tile's queries pass over it.
constexpr std::size_t kTileQueries = 16;
constexpr std::size_t kRunBlocks = 16;

// One tile of queries against every block. The selections see their values
// in the same identifier order as Flat::search, each run against its own
// bound as it stood when the run began, so they select the same pairs.
void search_tile(const Flat& flat, const VectorBatch& queries, std::size_t begin, std::size_t end,
                 std::size_t wanted, std::vector<std::vector<FlatHit>>* answers) {
  const std::size_t count = end - begin;
  std::vector<Flat::Query> prepared;
  prepared.reserve(count);
  std::vector<std::optional<FlatSelection>> selections(count);
  for (std::size_t q = 0; q < count; ++q) {
    prepared.push_back(flat.prepare(queries[begin + q]));
    selections[q].emplace(wanted, &(*answers)[begin + q]);
  }
  const std::size_t blocks = flat.block_count();
  const std::unique_ptr<double[]> values(new double[kRunBlocks * kLanes]);
  // The first run is as short as a single search's, so that every heap fills
  // and its bound tightens before the long runs.
  std::size_t run_blocks = std::min(kRunBlocks, wanted / kLanes + 1);
  for (std::size_t first_block = 0; first_block < blocks; first_block += run_blocks, run_blocks = kRunBlocks) {
    const std::size_t run = std::min(run_blocks, blocks - first_block);
    const std::size_t first = first_block * kLanes;
    const std::size_t scored = std::min(run * kLanes, flat.size() - first);
    for (std::size_t q = 0; q < count; ++q) {
      flat.score_blocks(prepared[q], first_block, run, selections[q]->bound(), values.get());
      selections[q]->offer(first, values.get(), scored);
    }
  }
  for (std::size_t q = 0; q < count; ++q) selections[q]->finish();
}

}  // namespace

Status<FlatError> search_batch(const Flat& flat, const VectorBatch& queries, std::uint32_t k, std::size_t threads,
                               Checkpoint& checkpoint, std::vector<std::vector<FlatHit>>* answers,
                               bool* completed) {
  *completed = true;
  if (flat.size() == 0) return FlatError::EmptyIndex;
  const std::size_t wanted = std::min<std::size_t>(std::max<std::uint32_t>(k, 1), flat.size());
  answers->assign(queries.size(), {});
  *completed = run_parallel(
      queries.size(), kTileQueries, threads,
      [&](std::size_t begin, std::size_t end) { search_tile(flat, queries, begin, end, wanted, answers); },
      checkpoint);
  return Status<FlatError>::Ok();
}

}  // namespace tamsel
