#include "hnsw/pruned_graph.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "common/reserve.h"
#include "common/work_counters.h"
#include "metric/metric.h"

namespace tamsel {

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// Levels are kept in a byte; 64 levels are more than any m >= 2 reaches
// with a 53-bit uniform draw.
constexpr std::uint32_t kMaxLevels = 64;

// The distance order on pairs, ties by the smaller id. As heap orders,
// `before` keeps the farthest on top of the results, `nearest_on_top` the
// nearest on top of the candidates.
struct Before {
  bool operator()(const PrunedGraph::Scored& x, const PrunedGraph::Scored& y) const {
    return pair_ranks_before(x.distance, x.id, y.distance, y.id);
  }
};
struct NearestOnTop {
  bool operator()(const PrunedGraph::Scored& x, const PrunedGraph::Scored& y) const { return Before{}(y, x); }
};
constexpr Before before;
constexpr NearestOnTop nearest_on_top;

// Working space of one thread's walks, kept between them.
struct WalkScratch {
  std::vector<PrunedGraph::Scored> candidates;
  std::vector<PrunedGraph::Id> batch;
  std::vector<double> measured;
};
WalkScratch& walk_scratch() {
  thread_local WalkScratch scratch;
  return scratch;
}

}  // namespace

PrunedGraph::PrunedGraph(std::uint32_t m, std::uint32_t layers)
    : m_(std::max<std::uint32_t>(m, 2)), visited_(std::make_unique<VisitedPool>()) {
  // P(level >= j) = m^-j for j below the cap; the top level takes the tail.
  const std::uint32_t levels = std::clamp<std::uint32_t>(layers, 1, kMaxLevels);
  const double p = 1.0 / static_cast<double>(m_);
  double reach = 1.0;  // P(level >= j)
  for (std::uint32_t j = 0; j + 1 < levels; ++j) {
    level_weights_.push_back(reach * (1.0 - p));
    reach *= p;
  }
  level_weights_.push_back(reach);
}

void PrunedGraph::reserve_node(std::uint32_t level) {
  reserve_more(levels_, 1);
  reserve_more(in_links_, 1);
  reserve_more(upper_start_, 1);
  reserve_more(layer0_, 2 * std::size_t{m_} + 1);
  reserve_more(upper_, std::size_t{level} * (std::size_t{m_} + 1));
}

void PrunedGraph::add_node(std::uint32_t level) {
  levels_.push_back(static_cast<std::uint8_t>(level));
  in_links_.push_back(0);
  upper_start_.push_back(upper_.size());
  layer0_.resize(layer0_.size() + 2 * std::size_t{m_} + 1, 0);
  upper_.resize(upper_.size() + std::size_t{level} * (std::size_t{m_} + 1), 0);
}

std::size_t PrunedGraph::memory_bytes() const {
  return levels_.capacity() + in_links_.capacity() * sizeof(std::uint32_t) +
         upper_start_.capacity() * sizeof(std::uint64_t) +
         (layer0_.capacity() + upper_.capacity()) * sizeof(Id);
}

PrunedGraph::Scored PrunedGraph::greedy(const Distances& distances, Scored from, std::uint32_t layer) const {
  // Moves to the nearest neighbour while it is strictly closer.
  std::vector<double>& out = walk_scratch().measured;
  for (bool moved = true; moved;) {
    moved = false;
    const std::span<const Id> list = neighbors(from.id, layer);
    out.resize(list.size());
    count_distances(list.size());
    distances.to_query(list, from.distance, out.data());
    for (std::size_t i = 0; i < list.size(); ++i) {
      if (out[i] < from.distance) {
        from = Scored{out[i], list[i]};
        moved = true;
      }
    }
  }
  return from;
}

void PrunedGraph::search_layer(const Distances& distances, Scored entry, std::uint32_t ef, std::uint32_t layer,
                               const NodeTest* test, std::vector<Scored>* result) const {
  VisitedPool::Lease visited = visited_->acquire(size());
  WalkScratch& scratch = walk_scratch();
  std::vector<Scored>& candidates = scratch.candidates;
  candidates.assign(1, entry);
  std::vector<Scored>& top = *result;
  top.clear();
  if (test == nullptr || test->passes(entry.id)) top.push_back(entry);
  visited.visit(entry.id);
  std::vector<Id>& batch = scratch.batch;
  std::vector<double>& measured = scratch.measured;
  while (!candidates.empty()) {
    std::pop_heap(candidates.begin(), candidates.end(), nearest_on_top);
    const Scored candidate = candidates.back();
    candidates.pop_back();
    // A full list ends the walk at the first candidate farther than all of
    // it; until it is full the walk goes on through failing nodes.
    if (top.size() >= ef && ranks_before(top.front().distance, candidate.distance)) break;
    // The next candidate's list is most likely read next: ask for it now.
    if (!candidates.empty()) __builtin_prefetch(row(candidates.front().id, layer));

    batch.clear();
    for (const Id neighbor : neighbors(candidate.id, layer)) {
      if (visited.visit(neighbor)) batch.push_back(neighbor);
    }
    if (batch.empty()) continue;
    measured.resize(batch.size());
    const double bound = top.size() >= ef ? top.front().distance : kNaN;
    count_distances(batch.size());
    distances.to_query(batch, bound, measured.data());
    for (std::size_t i = 0; i < batch.size(); ++i) {
      const double d = measured[i];
      // By the distance order: into a full list that ends in NaN any number
      // is admitted.
      if (top.size() >= ef && !ranks_before(d, top.front().distance)) continue;
      __builtin_prefetch(row(batch[i], layer));
      candidates.push_back(Scored{d, batch[i]});
      std::push_heap(candidates.begin(), candidates.end(), nearest_on_top);
      if (test != nullptr && !test->passes(batch[i])) continue;
      top.push_back(Scored{d, batch[i]});
      std::push_heap(top.begin(), top.end(), before);
      if (top.size() > ef) {
        std::pop_heap(top.begin(), top.end(), before);
        top.pop_back();
      }
    }
  }
  std::sort(top.begin(), top.end(), before);
}

void PrunedGraph::select(const Distances& distances, const std::vector<Scored>& candidates, std::uint32_t keep,
                         std::vector<Scored>* kept) {
  kept->clear();
  if (candidates.size() <= keep) {
    kept->assign(candidates.begin(), candidates.end());
    return;
  }
  std::vector<Id> ids;
  std::vector<double> measured;
  for (const Scored& candidate : candidates) {
    if (kept->size() >= keep) break;
    // Kept unless a neighbour already kept is strictly closer to it than
    // the node it would be linked to.
    measured.resize(ids.size());
    count_distances(ids.size());
    distances.between(candidate.id, ids, measured.data());
    bool diverse = true;
    for (const double d : measured) {
      if (d < candidate.distance) {
        diverse = false;
        break;
      }
    }
    if (!diverse) continue;
    kept->push_back(candidate);
    ids.push_back(candidate.id);
  }
}

void PrunedGraph::add_link(Id node, Id neighbor, std::uint32_t layer, const Distances& distances,
                           std::vector<SavedRow>* saved) {
  const std::uint32_t cap = capacity(layer);
  {
    // Kept before any change, so that a failure later in the insertion
    // can put the row back.
    const Id* old = this->row(node, layer);
    saved->push_back(SavedRow{node, layer, {}});
    saved->back().contents.assign(old, old + 1 + old[0]);
  }
  Id* row = this->row(node, layer);
  if (row[0] < cap) {
    row[1 + row[0]++] = neighbor;
    if (layer == 0) ++in_links_[neighbor];
    return;
  }
  // Full: the list and the newcomer, measured from the node, go through the
  // heuristic again.
  std::vector<Id> ids(row + 1, row + 1 + cap);
  ids.push_back(neighbor);
  std::vector<double> measured(ids.size());
  count_distances(ids.size());
  distances.between(node, ids, measured.data());
  std::vector<Scored> candidates(ids.size());
  for (std::size_t i = 0; i < ids.size(); ++i) candidates[i] = Scored{measured[i], ids[i]};
  std::sort(candidates.begin(), candidates.end(), before);
  std::vector<Scored> kept;
  select(distances, candidates, cap, &kept);
  if (layer == 0) {
    // A node that this list was the last to reach takes the place of the
    // farthest kept node that others reach too, so that every node stays
    // reachable.
    for (std::size_t i = 0; i < cap; ++i) --in_links_[ids[i]];
    for (const Scored& k : kept) ++in_links_[k.id];
    for (const Id dropped : ids) {
      if (in_links_[dropped] != 0 || dropped == entry_) continue;
      for (std::size_t j = kept.size(); j-- > 0;) {
        if (in_links_[kept[j].id] >= 2) {
          --in_links_[kept[j].id];
          kept[j].id = dropped;
          ++in_links_[dropped];
          break;
        }
      }
    }
  }
  row[0] = static_cast<Id>(kept.size());
  for (std::size_t i = 0; i < kept.size(); ++i) row[1 + i] = kept[i].id;
}

void PrunedGraph::link(Id node, std::uint32_t ef, const Distances& distances) {
  const std::uint32_t level = levels_[node];
  if (!has_entry_) {
    has_entry_ = true;
    entry_ = node;
    top_level_ = level;
    return;
  }
  std::vector<SavedRow> saved;
  try {
    link_rows(node, ef, distances, &saved);
  } catch (...) {
    for (auto it = saved.rbegin(); it != saved.rend(); ++it) {
      std::copy(it->contents.begin(), it->contents.end(), row(it->node, it->layer));
    }
    // The in-link counts, recounted from the rows as they are again.
    std::fill(in_links_.begin(), in_links_.end(), 0);
    for (Id other = 0; other < node; ++other) {
      for (const Id n : neighbors(other, 0)) ++in_links_[n];
    }
    throw;
  }
  if (level > top_level_) {
    entry_ = node;
    top_level_ = level;
  }
}

void PrunedGraph::set_list(Id node, std::uint32_t layer, std::span<const Id> ids) {
  Id* row = this->row(node, layer);
  row[0] = static_cast<Id>(ids.size());
  std::copy(ids.begin(), ids.end(), row + 1);
}

void PrunedGraph::set_entry(bool has_entry, Id entry) {
  has_entry_ = has_entry;
  entry_ = has_entry ? entry : 0;
  top_level_ = has_entry ? levels_[entry] : 0;
  std::fill(in_links_.begin(), in_links_.end(), 0);
  for (Id node = 0; node < size(); ++node) {
    for (const Id n : neighbors(node, 0)) ++in_links_[n];
  }
}

void PrunedGraph::remove_last_node() {
  const std::size_t node = levels_.size() - 1;
  layer0_.resize(layer0_.size() - (2 * std::size_t{m_} + 1));
  upper_.resize(upper_start_.back());
  upper_start_.pop_back();
  in_links_.pop_back();
  levels_.pop_back();
  if (has_entry_ && entry_ == node) has_entry_ = false;
}

void PrunedGraph::link_rows(Id node, std::uint32_t ef, const Distances& distances, std::vector<SavedRow>* saved) {
  const std::uint32_t level = levels_[node];
  double d;
  distances.to_query(std::span<const Id>(&entry_, 1), kNaN, &d);
  count_distances(1);
  Scored current{d, entry_};
  for (std::uint32_t layer = top_level_; layer > level; --layer) current = greedy(distances, current, layer);

  std::vector<Scored> found;
  std::vector<Scored> kept;
  for (std::uint32_t layer = std::min(level, top_level_) + 1; layer-- > 0;) {
    search_layer(distances, current, ef, layer, nullptr, &found);
    // The new node's own list takes m even on layer 0, leaving room for
    // later nodes to link back.
    select(distances, found, m_, &kept);
    Id* own = row(node, layer);
    own[0] = static_cast<Id>(kept.size());
    for (std::size_t i = 0; i < kept.size(); ++i) own[1 + i] = kept[i].id;
    if (layer == 0) {
      for (const Scored& k : kept) ++in_links_[k.id];
    }
    for (const Scored& neighbor : kept) add_link(neighbor.id, node, layer, distances, saved);
    current = found.front();
  }
}

void PrunedGraph::search(const Distances& distances, std::uint32_t ef, const NodeTest* test,
                         std::vector<Scored>* result) const {
  result->clear();
  if (!has_entry_) return;
  double d;
  distances.to_query(std::span<const Id>(&entry_, 1), kNaN, &d);
  count_distances(1);
  Scored current{d, entry_};
  for (std::uint32_t layer = top_level_; layer > 0; --layer) current = greedy(distances, current, layer);
  search_layer(distances, current, ef, 0, test, result);
}

}  // namespace tamsel
