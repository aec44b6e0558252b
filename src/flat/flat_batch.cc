#include "flat/flat_batch.h"

#include <algorithm>
#include <cmath>
#include <memory>
#include <optional>

#include "common/parallel.h"
#include "flat/flat_selection.h"
#include "metric/product_screen.h"

namespace tamsel {

namespace {

// Queries scanned together, and blocks scored for each of them in turn:
// a run of blocks (kRunBlocks * kLanes * dim values) stays in the second
// level cache while the tile's queries pass over it.
constexpr std::size_t kTileQueries = 16;
constexpr std::size_t kRunBlocks = 16;

// With the product screen a tile streams only the float copy, once, and
// the more queries share that pass the less it costs each: up to
// kMaxScreenedTile queries, as long as a tile stays near kScreenedTileWork
// products (some tens of milliseconds), since interrupts are looked for
// between tiles. Its runs are longer, kScreenedRunBlocks, within a group.
constexpr std::size_t kMaxScreenedTile = 128;
constexpr std::size_t kMinScreenedTile = 16;
constexpr double kScreenedTileWork = 0x1p31;
constexpr std::size_t kScreenedRunBlocks = 32;
// A query whose screen left most of a run's blocks is not screened for the
// next runs, twice as many each time again, up to kMaxScreenPause runs.
constexpr unsigned kMaxScreenPause = 32;

// The first run is as short as a single search's, so that every heap fills
// and its bound tightens before the long runs.
std::size_t first_run_blocks(std::size_t wanted, std::size_t run_blocks) {
  return std::min(run_blocks, wanted / kLanes + 1);
}

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
  std::size_t run_blocks = first_run_blocks(wanted, kRunBlocks);
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

// The same for a Euclidean index with the float copy. Each run is first
// screened for all the tile's queries whose selection is full: the blocks
// whose every lane the product screen rules out are left out, since none of
// their vectors could enter; the others are scored exactly, in order.
void search_tile_screened(const Flat& flat, const VectorBatch& queries, std::size_t begin, std::size_t end,
                          std::size_t wanted, std::vector<std::vector<FlatHit>>* answers) {
  const std::size_t count = end - begin, dim = flat.dim();
  const ProductScreenKernels& kernels = product_screen_kernels();
  std::vector<Flat::Query> prepared;
  prepared.reserve(count);
  std::vector<std::optional<FlatSelection>> selections(count);
  std::vector<float> rounded(count * dim);
  std::vector<double> norms(count);
  for (std::size_t q = 0; q < count; ++q) {
    prepared.push_back(flat.prepare(queries[begin + q]));
    selections[q].emplace(wanted, &(*answers)[begin + q]);
    norms[q] = round_screened_query(queries[begin + q], rounded.data() + q * dim);
  }
  std::vector<unsigned> pause(count, 0), paused(count, 0);
  std::vector<double> bounds(count, std::numeric_limits<double>::quiet_NaN()), limits(count, bounds[0]);
  std::vector<const float*> screened_queries;
  std::vector<double> thresholds;
  std::vector<std::size_t> screened(count);  // a query's place in the run's screen, or count
  std::vector<std::uint8_t> keep(count * kScreenedRunBlocks);
  const std::unique_ptr<double[]> weights(new double[kScreenedRunBlocks * kLanes]);
  const std::unique_ptr<double[]> values(new double[kScreenedRunBlocks * kLanes]);
  // Scores blocks first .. first + count - 1 for query q and offers them,
  // with the rounded screen or without it.
  const auto score = [&](std::size_t q, std::size_t first, std::size_t count, bool rounded) {
    const double bound = selections[q]->bound();
    if (rounded) {
      flat.score_blocks(prepared[q], first, count, bound, values.get());
    } else {
      flat.score_blocks_unscreened(prepared[q], first, count, bound, values.get());
    }
    selections[q]->offer(first * kLanes, values.get(), std::min(count * kLanes, flat.size() - first * kLanes));
  };
  const std::size_t blocks = flat.block_count();
  // Runs start short, and lengthen as the bounds settle.
  std::size_t run_blocks = first_run_blocks(wanted, kScreenedRunBlocks);
  for (std::size_t first_block = 0, run; first_block < blocks;
       first_block += run, run_blocks = std::min(2 * run_blocks, kScreenedRunBlocks)) {
    const std::size_t group = first_block / Flat::kGroupBlocks, in_group = first_block % Flat::kGroupBlocks;
    run = std::min({run_blocks, blocks - first_block, Flat::kGroupBlocks - in_group});
    screened_queries.clear();
    thresholds.clear();
    for (std::size_t q = 0; q < count; ++q) {
      screened[q] = count;
      if (paused[q] > 0) {
        --paused[q];
        continue;
      }
      // The bound changes less and less often: its threshold is kept.
      if (const double bound = selections[q]->bound(); !(bound == bounds[q])) {
        bounds[q] = bound;
        limits[q] = screen_threshold(dim, norms[q], bound);
      }
      const double threshold = limits[q];
      if (!(threshold < std::numeric_limits<double>::infinity())) continue;  // rules nothing out
      screened[q] = thresholds.size();
      screened_queries.push_back(rounded.data() + q * dim);
      thresholds.push_back(threshold);
    }
    const std::size_t screened_count = thresholds.size();
    if (screened_count != 0) {
      const Flat::RoundedGroup copy = flat.rounded_group(group);
      kernels.weights(dim, copy.values, copy.capacity, in_group, run, weights.get());
      kernels.screen(screened_queries.data(), thresholds.data(), screened_count, dim, copy.values, copy.capacity,
                     in_group, run, weights.get(), keep.data());
    }
    for (std::size_t q = 0; q < count; ++q) {
      if (screened[q] == count) {
        score(q, first_block, run, true);
        continue;
      }
      const std::uint8_t* kept = keep.data() + screened[q] * run;
      const std::size_t left = run - static_cast<std::size_t>(std::count(kept, kept + run, 0));
      // A screen that leaves most blocks (as for vectors far from the origin
      // and close together, where float products cancel) pauses, and the
      // blocks it left get the rounded screen.
      const bool useful = 2 * left <= run;
      pause[q] = useful ? 0 : std::min(2 * pause[q] + 1, kMaxScreenPause);
      paused[q] = pause[q];
      for (std::size_t b = 0; b < run;) {
        const std::size_t from = b;
        while (b < run && kept[b] != 0) ++b;
        if (b > from) score(q, first_block + from, b - from, !useful);
        while (b < run && kept[b] == 0) ++b;
      }
    }
  }
  for (std::size_t q = 0; q < count; ++q) selections[q]->finish();
}

// Queries per tile for the screened scan: as many as fit kScreenedTileWork,
// in tiles of equal size, their number a multiple of the threads.
std::size_t screened_tile(std::size_t queries, std::size_t threads, const Flat& flat) {
  const double products = static_cast<double>(flat.size()) * static_cast<double>(flat.dim());
  const double fit = std::floor(kScreenedTileWork / std::max(products, 1.0));
  const std::size_t most =
      static_cast<std::size_t>(std::clamp(fit, double(kMinScreenedTile), double(kMaxScreenedTile)));
  threads = std::max<std::size_t>(threads, 1);
  const std::size_t wanted_tiles = std::max<std::size_t>((queries + most - 1) / most, 1);
  const std::size_t tiles = (wanted_tiles + threads - 1) / threads * threads;
  const std::size_t at_once = product_screen_kernels().queries_at_once;
  return ((queries + tiles - 1) / tiles + at_once - 1) / at_once * at_once;
}

}  // namespace

Status<FlatError> search_batch(const Flat& flat, const VectorBatch& queries, std::uint32_t k, std::size_t threads,
                               Checkpoint& checkpoint, std::vector<std::vector<FlatHit>>* answers,
                               bool* completed) {
  *completed = true;
  if (flat.size() == 0) return FlatError::EmptyIndex;
  const std::size_t wanted = std::min<std::size_t>(std::max<std::uint32_t>(k, 1), flat.size());
  answers->assign(queries.size(), {});
  if (flat.rounded_group(0).values != nullptr) {
    *completed = run_parallel(
        queries.size(), screened_tile(queries.size(), threads, flat), threads,
        [&](std::size_t begin, std::size_t end) { search_tile_screened(flat, queries, begin, end, wanted, answers); },
        checkpoint);
  } else {
    *completed = run_parallel(
        queries.size(), kTileQueries, threads,
        [&](std::size_t begin, std::size_t end) { search_tile(flat, queries, begin, end, wanted, answers); },
        checkpoint);
  }
  return Status<FlatError>::Ok();
}

}  // namespace tamsel
