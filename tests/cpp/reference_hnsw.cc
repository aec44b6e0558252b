#include "reference_hnsw.h"

#include <algorithm>
#include <cmath>
#include <queue>
#include <unordered_set>
#include <utility>

#include "common/panic.h"
#include "common/work_counters.h"

namespace tamsel {

ReferenceHNSW::ReferenceHNSW(HNSWConfig config)
    : config_(std::move(config)),
      level_weights_(make_level_weights(config_.layers)),
      metadata_(config_.schema ? config_.schema->size() : 0) {}

namespace {

// Where a pair at distance d enters a result list sorted in the distance
// order: directly before the last pair of equal distance if there is one,
// else after every pair that ranks before d. This is what the halving binary
// search gives; it is spelled out because the placement of ties is visible.
std::size_t insertion_position(const std::vector<Neighbor>& list, double d) {
  std::size_t base = 0;
  std::size_t size = list.size();
  while (size > 1) {
    const std::size_t half = size / 2;
    const std::size_t mid = base + half;
    if (!ranks_before(d, list[mid].distance)) base = mid;
    size -= half;
  }
  if (ranks_equal(list[base].distance, d)) return base;
  return ranks_before(list[base].distance, d) ? base + 1 : base;
}

// Candidate queue order: the pair that ranks first comes out first.
struct RanksAfter {
  bool operator()(const Neighbor& x, const Neighbor& y) const {
    return pair_ranks_before(y.distance, y.id, x.distance, x.id);
  }
};

}  // namespace

Status<HNSWError> ReferenceHNSW::knn(NodeId entry, std::span<const double> query, std::uint32_t ef, std::uint32_t layer,
                            const Filter* filter, std::vector<Neighbor>* result) const {
  if (ef == 0) return HNSWError::InvalidEF;
  if (layer >= config_.layers) return HNSWError::InvalidLayer;
  std::size_t filter_position = 0;
  if (filter != nullptr) {
    if (!config_.schema) return HNSWError::NoSchema;
    if (config_.schema->empty()) return HNSWError::EmptySchema;
    const auto& schema = *config_.schema;
    const auto found = std::find(schema.begin(), schema.end(), filter->attribute);
    if (found == schema.end()) return HNSWError::AttributeNotFound;
    filter_position = static_cast<std::size_t>(found - schema.begin());
  }
  check_invariant(entry < node_count_, "layer search from a node that is not stored");

  const double entry_distance = config_.metric(query, vector(entry));
  count_distances(1);
  result->assign(1, Neighbor{entry_distance, entry});
  std::unordered_set<NodeId> visited{entry};
  std::priority_queue<Neighbor, std::vector<Neighbor>, RanksAfter> candidates;
  candidates.push(Neighbor{entry_distance, entry});

  while (!candidates.empty()) {
    const Neighbor candidate = candidates.top();
    candidates.pop();
    const double farthest = result->back().distance;
    if (!std::isnan(farthest) && ranks_before(farthest, candidate.distance)) break;
    count_entries_walked(rows_[candidate.id].size());
    for (NodeId neighbor : rows_[candidate.id]) {
      if (levels_[neighbor] < layer) continue;
      if (filter != nullptr && !passes(*filter, filter_position, neighbor)) continue;
      const double d = config_.metric(query, vector(neighbor));
      count_distances(1);
      if (!visited.insert(neighbor).second) continue;
      if (result->size() < ef || ranks_before(d, result->back().distance)) {
        candidates.push(Neighbor{d, neighbor});
        result->insert(result->begin() + static_cast<std::ptrdiff_t>(insertion_position(*result, d)),
                       Neighbor{d, neighbor});
        if (result->size() > ef) result->pop_back();
      }
    }
  }
  return Status<HNSWError>::Ok();
}

NodeId ReferenceHNSW::store(std::span<const double> vector, std::uint32_t level, std::optional<std::vector<Metadata>> record) {
  check_invariant(vector.size() == config_.dim, "insertion of a vector whose length is not the index dimension");
  // Room first, so that the appends below cannot fail half way.
  levels_.reserve(node_count_ + 1);
  rows_.reserve(node_count_ + 1);
  has_row_.reserve(node_count_ + 1);
  vectors_.insert(vectors_.end(), vector.begin(), vector.end());
  levels_.push_back(level);
  if (record) {
    metadata_.append_record(std::move(*record));
  } else {
    metadata_.append_without_record();
  }
  rows_.emplace_back();
  has_row_.push_back(false);
  return node_count_++;
}

Status<HNSWError> ReferenceHNSW::insert(std::span<const double> vector, std::optional<std::vector<Metadata>> record,
                               LevelSource& levels) {
  if (node_count_ == 0) {
    // The first node is the fixed entry point: it sits on every layer and
    // gets its (empty) row at once. It draws no level.
    const NodeId first = store(vector, config_.layers - 1, std::move(record));
    has_row_[first] = true;
    return Status<HNSWError>::Ok();
  }
  const std::uint32_t level = levels.next_level(level_weights_, config_.layers);
  const NodeId node = store(vector, level, std::move(record));

  NodeId entry = 0;
  std::vector<Neighbor> found;
  std::vector<NodeId> linked;
  // Layers ascend from 0: below its level the node only moves the entry
  // greedily; from its level up it is linked at every layer.
  for (std::uint32_t layer = 0; layer < config_.layers; ++layer) {
    if (layer < level) {
      if (Status<HNSWError> status = knn(entry, vector, 1, layer, nullptr, &found); !status.ok()) return status;
      entry = found.front().id;
      continue;
    }
    if (Status<HNSWError> status = knn(entry, vector, config_.ef_construction, layer, nullptr, &found);
        !status.ok()) {
      return status;
    }
    linked.clear();
    for (const Neighbor& neighbor : found) {
      linked.push_back(neighbor.id);
      if (!has_row(neighbor.id)) return HNSWError::InvalidNodeID;
      rows_[neighbor.id].push_back(node);
    }
    rows_[node].insert(rows_[node].end(), linked.begin(), linked.end());
    has_row_[node] = true;
    entry = node;
  }
  return Status<HNSWError>::Ok();
}

Status<HNSWError> ReferenceHNSW::create(const VectorBatch& vectors, std::vector<std::vector<Metadata>> records,
                               LevelSource& levels) {
  if (vectors.empty()) return HNSWError::EmptyVectors;
  const bool with_records = config_.schema.has_value();
  if (with_records && records.size() != vectors.size()) return HNSWError::AttributeNotFound;
  for (std::size_t i = 0; i < vectors.size(); ++i) {
    std::optional<std::vector<Metadata>> record;
    if (with_records) record = std::move(records[i]);
    if (Status<HNSWError> status = insert(vectors[i], std::move(record), levels); !status.ok()) return status;
  }
  return Status<HNSWError>::Ok();
}

Status<HNSWError> ReferenceHNSW::search(std::span<const double> query, std::uint32_t k, const Filter* filter,
                               std::vector<Neighbor>* result) const {
  result->clear();
  if (node_count_ == 0) return Status<HNSWError>::Ok();
  NodeId entry = 0;
  std::vector<Neighbor> found;
  for (std::uint32_t layer = config_.layers - 1; config_.layers > 1 && layer >= 1; --layer) {
    if (Status<HNSWError> status = knn(entry, query, 1, layer, filter, &found); !status.ok()) return status;
    entry = found.front().id;
  }
  if (Status<HNSWError> status = knn(entry, query, config_.ef_search, 0, filter, &found); !status.ok()) {
    return status;
  }
  // The walk starts from an entry that no filter tested, so the output
  // checks every pair again: a filtered query reports passing nodes only.
  std::size_t position = 0;
  if (filter != nullptr) {
    const auto& schema = *config_.schema;
    position = static_cast<std::size_t>(std::find(schema.begin(), schema.end(), filter->attribute) - schema.begin());
  }
  const std::size_t wanted = std::max<std::uint32_t>(k, 1);
  for (const Neighbor& neighbor : found) {
    if (filter != nullptr && !passes(*filter, position, neighbor.id)) continue;
    result->push_back(neighbor);
    if (result->size() >= wanted) break;
  }
  return Status<HNSWError>::Ok();
}

}  // namespace tamsel
