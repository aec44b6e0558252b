#include "hnsw/hnsw.h"

#include "hnsw/rank_key.h"
#include "hnsw/row_walk.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <mutex>
#include <stdexcept>
#include <utility>

#include "common/reserve.h"
#include "common/panic.h"
#include "common/prefetch.h"
#include "common/work_counters.h"
#include "metric/kernels.h"

namespace tamsel {

const char* hnsw_error_name(HNSWError error) {
  switch (error) {
    case HNSWError::InvalidEF:
      return "InvalidEF";
    case HNSWError::InvalidLayer:
      return "InvalidLayer";
    case HNSWError::NoSchema:
      return "NoSchema";
    case HNSWError::EmptySchema:
      return "EmptySchema";
    case HNSWError::AttributeNotFound:
      return "AttributeNotFound";
    case HNSWError::EmptyVectors:
      return "EmptyVectors";
    case HNSWError::InvalidNodeID:
      return "InvalidNodeID";
  }
  return "?";
}

std::optional<MetricFn> hnsw_metric_by_name(std::string_view name) {
  if (name == "euclidean") return euclidean_distance;
  if (name == "angular") return cosine_similarity;
  if (name == "inner_product") return dot_product;
  return std::nullopt;
}

std::vector<double> make_level_weights(std::uint32_t layers) {
  std::vector<double> weights;
  for (std::uint32_t j = 0; j < layers; ++j) {
    const double weight = std::exp(-static_cast<double>(j));
    if (weight == 0.0) break;
    weights.push_back(weight);
  }
  return weights;
}

std::size_t result_insertion_position(std::span<const Neighbor> list, double d) {
  // The halving binary search: base ends on the last pair that does not rank
  // after d.
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

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInfinity = std::numeric_limits<double>::infinity();

// No node other than node 0 can have a higher level: the weight table holds
// at most 746 entries. Lists are kept up to this layer; a search of a higher
// layer reads the top list and tests levels.
constexpr std::uint32_t kHighestListLayer = 745;

// Identifiers are 32-bit inside; this one is never a node.
constexpr NodeId32 kNoNode = std::numeric_limits<NodeId32>::max();

// A node waiting to be visited. Each node is queued at most once per
// search, so the order on (key, identifier) is total and any heap pops the
// same sequence.
using Candidate = RankedNode;

// Neighbours measured against a full list wait at most about this many
// before those ready are admitted and the bound taken again.
constexpr std::size_t kRunLimit = 64;

// A neighbour of that run by its place in the row: waiting for its
// distance, or ready with it. A dropped one (proved at least the bound) is
// not kept at all.
struct Waiting {
  std::uint32_t place;
  NodeId32 node;
};
struct Ready {
  std::uint32_t place;
  NodeId32 node;
  double value;
};

// Candidate queue order: the pair that ranks first comes out first.
struct RanksAfter {
  bool operator()(const Candidate& x, const Candidate& y) const {
    return (x.key > y.key) | ((x.key == y.key) & (x.id > y.id));
  }
};

}  // namespace

// A query as the distance kernels take it.
struct HNSW::Query {
  std::span<const double> values;
  std::size_t common;           // components compared: min(query length, dim)
  double squared_norm = 0.0;    // over the whole query, for the cosine
  // The Euclidean screen's side: the common components rounded to float
  // (rotated when the index's copies are), and the bound on their norm that
  // its limit needs; empty when the screen cannot serve this query.
  std::vector<float> rounded{};
  double rounded_norm = std::numeric_limits<double>::infinity();
  bool rotated = false;
};

struct HNSW::PreparedFilter {
  const Filter* filter = nullptr;
  std::size_t position = 0;              // of its attribute in the schema
  const std::uint32_t* codes = nullptr;  // of its attribute, by node
  std::uint32_t code = 0;                // that a passing node has
};

// Working space of the layer search, reused from one search to the next;
// each search in progress has one of its own.
struct HNSW::Scratch {
  // One byte per node: visited in this search when it holds the search's
  // mark. Each search takes the next mark, so nothing is cleared but once
  // every 255 searches, and testing an entry is one load and compare.
  std::vector<std::uint8_t> visited;
  std::uint8_t mark = 0;
  std::size_t visited_count = 0;  // nodes holding the mark
  std::vector<Candidate> candidates;
  // The result list in rank order while a search runs, and by node the
  // distance each admitted node came with (a node is admitted at most once
  // per search): moving 16-byte pairs costs less than moving distances too.
  std::vector<RankedNode> ranked;
  std::vector<double> admitted;
  // The fresh entries of a row; only ever grown, so that no walk clears it.
  std::vector<NodeId32> batch;
  std::vector<double> batch_distances;
  std::vector<Neighbor> found;
  // Distances measured in the present operation (an insertion or a query),
  // by node, valid where the node's stamp is the operation's. The metric is
  // pure, so a later layer search of the same operation reuses a value bit
  // for bit instead of measuring the node again. One entry per stored node,
  // made when an operation starts. Where the stamp is the operation's plus
  // one, the entry is instead a floor: a search against that bound found
  // the distance at least it, or NaN, without measuring it. Plus two, it is
  // the screened sum that ruled the node out: the node reaches any bound
  // whose screen limit the sum reaches (kernels.h).
  std::vector<double> known;
  std::vector<std::uint32_t> known_stamp;
  std::uint32_t stamp = 0;  // a multiple of 4; stamp + 1 marks floors, + 2 sums
  std::vector<NodeId32> unknown;          // the batch's nodes still to measure
  std::vector<std::uint32_t> unknown_at;  // and their places in the batch
  std::vector<double> measured;
  // The neighbours of a run against a full list ready to be admitted, and
  // those still to screen and to measure exactly.
  std::vector<Ready> ready;
  std::vector<Waiting> to_screen;
  std::vector<Waiting> to_measure;

  // Starts an operation on an index of `nodes` nodes.
  void begin_operation(std::size_t nodes) {
    // Each on its own: a failed allocation may leave one longer than the other.
    if (known.size() < nodes) known.resize(nodes, 0.0);
    if (known_stamp.size() < nodes) known_stamp.resize(nodes, 0);
    stamp += 4;
    if (stamp == 0) {  // wrapped: no old stamp may pass for the new one
      std::fill(known_stamp.begin(), known_stamp.end(), 0);
      stamp = 4;
    }
  }
  bool is_known(NodeId32 node) const { return known_stamp[node] == stamp; }
  void remember(NodeId32 node, double distance) {
    known[node] = distance;
    known_stamp[node] = stamp;
  }
  // Whether an earlier search proved the distance at least `bound` (or
  // NaN); `limit` is the screen's limit for that bound.
  bool reaches(NodeId32 node, double bound, float limit) const {
    const std::uint32_t kind = known_stamp[node] - stamp;
    return (kind == 1 && known[node] >= bound) || (kind == 2 && known[node] >= limit);
  }
  void remember_floor(NodeId32 node, double floor) {
    known[node] = floor;
    known_stamp[node] = stamp + 1;
  }
  void remember_sum(NodeId32 node, float sum) {
    known[node] = sum;
    known_stamp[node] = stamp + 2;
  }

  void begin_search(std::size_t nodes) {
    if (admitted.size() < nodes) admitted.resize(nodes);
    if (visited.size() < nodes + kMarkPadding) {
      reserve_more(visited, nodes + kMarkPadding - visited.size());
      visited.resize(nodes + kMarkPadding, 0);
    }
    if (++mark == 0) {  // wrapped: no old mark may pass for the new one
      std::fill(visited.begin(), visited.end(), 0);
      mark = 1;
    }
    visited_count = 0;
  }
  // Marks nodes not visited yet, each given once.
  void visit_fresh(std::span<const NodeId32> nodes) {
    for (const NodeId32 node : nodes) visited[node] = mark;
    visited_count += nodes.size();
  }
};

// The spare working spaces: at most one per search that ever ran at the same
// time as others, kept for the next searches. Taking one and giving it back
// hold the lock for a moment only.
class HNSW::ScratchPool {
 public:
  class Lease {
   public:
    Lease(ScratchPool& pool, std::unique_ptr<Scratch> scratch) : pool_(pool), scratch_(std::move(scratch)) {}
    Lease(const Lease&) = delete;
    Lease& operator=(const Lease&) = delete;
    ~Lease() { pool_.give_back(std::move(scratch_)); }
    Scratch& operator*() const { return *scratch_; }

   private:
    ScratchPool& pool_;
    std::unique_ptr<Scratch> scratch_;
  };

  // The pool is only tried, never waited for: a child of a fork may find it
  // locked by a thread it does not have, and then does without it.
  Lease take() {
    std::unique_ptr<Scratch> scratch;
    if (std::unique_lock<std::mutex> lock(mutex_, std::try_to_lock); lock && !spare_.empty()) {
      scratch = std::move(spare_.back());
      spare_.pop_back();
    }
    if (!scratch) scratch = std::make_unique<Scratch>();
    return Lease(*this, std::move(scratch));
  }

 private:
  void give_back(std::unique_ptr<Scratch> scratch) noexcept {
    std::unique_lock<std::mutex> lock(mutex_, std::try_to_lock);
    if (!lock) return;  // freed instead
    try {
      spare_.push_back(std::move(scratch));
    } catch (...) {
      // No room to keep it: it is freed instead.
    }
  }

  std::mutex mutex_;
  std::vector<std::unique_ptr<Scratch>> spare_;
};

HNSW::HNSW(HNSWConfig config)
    : config_(std::move(config)),
      kind_(metric_kind(config_.metric)),
      level_weights_(make_level_weights(config_.layers)),
      metadata_(config_.schema ? config_.schema->size() : 0),
      scratch_(std::make_unique<ScratchPool>()) {
  if (config_.prune) {
    pruned_ = std::make_unique<PrunedGraph>(config_.m, config_.layers);
    postings_ = ValuePostings(config_.schema ? config_.schema->size() : 0);
  }
}

HNSW::HNSW(HNSW&&) noexcept = default;
HNSW& HNSW::operator=(HNSW&&) noexcept = default;
HNSW::~HNSW() = default;

std::vector<NodeId> HNSW::neighbors(NodeId node, std::uint32_t layer) const {
  if (pruned_) {
    if (layer > pruned_->level(static_cast<NodeId32>(node))) return {};
    const auto list = pruned_->neighbors(static_cast<NodeId32>(node), layer);
    return {list.begin(), list.end()};
  }
  const std::uint32_t top = graph_.top_layer(static_cast<NodeId32>(node));
  std::vector<NodeId> out;
  for (NodeId32 n : graph_.list(static_cast<NodeId32>(node), std::min(layer, top))) {
    if (layer <= top || levels_[n] >= layer) out.push_back(n);
  }
  return out;
}

HNSW::Query HNSW::prepare_query(std::span<const double> query) const {
  Query prepared{query, std::min<std::size_t>(query.size(), config_.dim)};
  if (kind_ == MetricKind::Cosine) prepared.squared_norm = squared_norm(query);
  if (kind_ == MetricKind::Euclidean && screen_rotation_) {
    // Rotated copies bound distances over all dim components: a shorter
    // query, compared over fewer, goes without the screen.
    if (query.size() < config_.dim) return prepared;
    double rotated[ScreenRotation::kMaxDim];
    screen_rotation_->rotate(query.data(), rotated);
    prepared.rotated = true;
    prepared.rounded_norm = ScreenRotation::query_norm(screen_query_norm(query.data(), config_.dim),
                                                       screen_query_norm(rotated, config_.dim));
    if (prepared.rounded_norm < std::numeric_limits<double>::infinity()) {
      prepared.rounded.assign(rotated, rotated + config_.dim);
    }
  } else if (kind_ == MetricKind::Euclidean) {
    prepared.rounded_norm = screen_query_norm(query.data(), prepared.common);
    if (prepared.rounded_norm < std::numeric_limits<double>::infinity()) {
      prepared.rounded.assign(query.begin(), query.begin() + static_cast<std::ptrdiff_t>(prepared.common));
    }
  }
  return prepared;
}

double HNSW::distance(const Query& query, NodeId32 node) const {
  if (kind_ == MetricKind::Cosine) {
    return cosine_from_parts(dot_product(query.values, vector(node)), query.squared_norm, norms_[node]);
  }
  return config_.metric(query.values, vector(node));
}

// Vectors are read in batch order from all over memory: the batch loops ask
// for the first lines of those kPrefetchAhead ahead, where most ruled-out
// or abandoned ones end.
namespace {

constexpr std::size_t kPrefetchAhead = 4 * kLanes;

// Where the screen of rotated copies splits: on clustered 128-d data, where
// 32 components rule out 90 % of lanes, 48 measured alike and 16 slower.
constexpr std::size_t kRotatedScreenSplit = 32;

template <class T>
TAMSEL_PREFETCH_HELPER void prefetch_row(const T* rows, NodeId32 node, std::size_t dim) {
  const char* start = reinterpret_cast<const char*>(rows + std::size_t{node} * dim);
  __builtin_prefetch(start);
  __builtin_prefetch(start + 64);
}

// A lane the screen leaves is measured exactly soon after, and reads its
// whole vector (unlike a screened row, which is mostly ruled out early): all
// of it is asked for at once, up to a cap that keeps a batch of lanes within
// the first-level cache.
constexpr std::size_t kMeasuredPrefetchBytes = 1024;

TAMSEL_PREFETCH_HELPER void prefetch_measured(const double* vectors, NodeId32 node, std::size_t dim) {
  const char* start = reinterpret_cast<const char*>(vectors + std::size_t{node} * dim);
  const std::size_t bytes = std::min(dim * sizeof(double), kMeasuredPrefetchBytes);
  for (std::size_t offset = 0; offset < bytes; offset += 64) __builtin_prefetch(start + offset);
}

}  // namespace

float HNSW::screen_limit(const Query& query, double bound) const {
  if (kind_ != MetricKind::Euclidean || query.rounded.empty()) return std::numeric_limits<float>::quiet_NaN();
  if (query.rotated) return ScreenRotation::limit(query.rounded_norm, query.common, bound);
  return gathered_screen_limit(query.rounded_norm, query.common, bound);
}

// The Euclidean distances against a finite bound, screened: each batch of
// kLanes nodes is first summed against the rounded copies, the lanes that
// provably reach the bound report +infinity, and the lanes left are taken,
// kLanes at a time, through the exact kernel.
void HNSW::screened_distances(const Query& query, std::span<const NodeId32> nodes, double bound, float limit,
                              double* out) const {
  const BatchKernels& kernels = batch_kernels();
  const std::size_t dim = config_.dim;
  const float* rows[kLanes];
  const double* lanes[kLanes];
  double values[kLanes];
  std::uint32_t left[2 * kLanes];  // places in `nodes` that the screen left
  std::size_t left_count = 0;
  const auto exact = [&](std::size_t count) {
    for (std::size_t l = 0; l < kLanes; ++l) {
      lanes[l] = vectors_.data() + std::size_t{nodes[left[l < count ? l : 0]]} * dim;
    }
    kernels.euclidean_gathered(query.values.data(), query.common, lanes, bound, values);
    for (std::size_t l = 0; l < count; ++l) out[left[l]] = values[l];
  };
  const auto prefetch = [&](std::size_t i) { prefetch_row(rounded_.data(), nodes[i], dim); };
  for (std::size_t i = 0; i < std::min(nodes.size(), kPrefetchAhead); ++i) prefetch(i);
  for (std::size_t start = 0; start < nodes.size(); start += kLanes) {
    const std::size_t count = std::min(kLanes, nodes.size() - start);
    for (std::size_t l = 0; l < kLanes; ++l) {
      rows[l] = rounded_.data() + std::size_t{nodes[start + (l < count ? l : 0)]} * dim;
    }
    for (std::size_t i = start + kPrefetchAhead; i < std::min(nodes.size(), start + kPrefetchAhead + kLanes); ++i) {
      prefetch(i);
    }
    float sums[kLanes] = {};
    const unsigned ruled = kernels.euclidean_screen_gathered(query.rounded.data(), 0, query.common, rows, limit, sums);
    for (std::size_t l = 0; l < count; ++l) {
      if (ruled >> l & 1u) {
        out[start + l] = kInfinity;
      } else {
        prefetch_measured(vectors_.data(), nodes[start + l], dim);
        left[left_count++] = static_cast<std::uint32_t>(start + l);
      }
    }
    if (left_count >= kLanes) {
      exact(kLanes);
      left_count -= kLanes;
      std::copy_n(left + kLanes, left_count, left);
    }
  }
  if (left_count != 0) exact(left_count);
}

void HNSW::batch_distances(const Query& query, std::span<const NodeId32> nodes, double bound, double* out) const {
  const float limit = screen_limit(query, bound);
  if (!std::isnan(limit)) return screened_distances(query, nodes, bound, limit, out);
  exact_distances(query, nodes, bound, out);
}

void HNSW::exact_distances(const Query& query, std::span<const NodeId32> nodes, double bound, double* out) const {
  if (kind_ == MetricKind::Other) {
    for (std::size_t i = 0; i < nodes.size(); ++i) out[i] = config_.metric(query.values, vector(nodes[i]));
    return;
  }
  const BatchKernels& kernels = batch_kernels();
  const double* lanes[kLanes];
  double values[kLanes];
  const auto prefetch = [&](std::size_t i) { prefetch_row(vectors_.data(), nodes[i], config_.dim); };
  for (std::size_t i = 0; i < std::min(nodes.size(), kPrefetchAhead); ++i) prefetch(i);
  for (std::size_t start = 0; start < nodes.size(); start += kLanes) {
    const std::size_t count = std::min(kLanes, nodes.size() - start);
    for (std::size_t l = 0; l < kLanes; ++l) {
      lanes[l] = vectors_.data() + std::size_t{nodes[start + (l < count ? l : 0)]} * config_.dim;
    }
    for (std::size_t i = start + kPrefetchAhead; i < std::min(nodes.size(), start + kPrefetchAhead + kLanes); ++i) {
      prefetch(i);
    }
    if (kind_ == MetricKind::Euclidean) {
      kernels.euclidean_gathered(query.values.data(), query.common, lanes, bound, values);
    } else {
      kernels.dot_gathered(query.values.data(), query.common, lanes, values);
    }
    for (std::size_t l = 0; l < count; ++l) {
      out[start + l] = kind_ == MetricKind::Cosine
                           ? cosine_from_parts(values[l], query.squared_norm, norms_[nodes[start + l]])
                           : values[l];
    }
  }
}

void HNSW::measure(const Query& query, std::span<const NodeId32> nodes, Scratch& scratch) const {
  double* out = scratch.batch_distances.data();
  // Room for every node, kept between calls: the nodes still to measure
  // are gathered without a branch on each.
  if (scratch.unknown.size() < nodes.size()) scratch.unknown.resize(nodes.size());
  if (scratch.unknown_at.size() < nodes.size()) scratch.unknown_at.resize(nodes.size());
  NodeId32* unknown = scratch.unknown.data();
  std::uint32_t* unknown_at = scratch.unknown_at.data();
  std::size_t count = 0;
  for (std::size_t i = 0; i < nodes.size(); ++i) {
    const NodeId32 node = nodes[i];
    const bool known = scratch.is_known(node);
    out[i] = scratch.known[node];
    unknown[count] = node;
    unknown_at[count] = static_cast<std::uint32_t>(i);
    count += !known;
  }
  if (count == 0) return;
  count_distances(count);
  if (scratch.measured.size() < count) scratch.measured.resize(count);
  // Without a bound nothing is abandoned: every value is the distance.
  exact_distances(query, std::span<const NodeId32>(unknown, count), kNaN, scratch.measured.data());
  for (std::size_t j = 0; j < count; ++j) {
    out[unknown_at[j]] = scratch.measured[j];
    scratch.remember(unknown[j], scratch.measured[j]);
  }
}

bool HNSW::passes(const PreparedFilter& filter, NodeId32 node) const {
  // A node stored without a record has a code no filter looks for.
  return filter.codes[node] == filter.code;
}

Status<HNSWError> HNSW::prepare_filter(std::uint32_t ef, std::uint32_t layer, const Filter* filter,
                                       PreparedFilter* prepared) const {
  if (ef == 0) return HNSWError::InvalidEF;
  if (layer >= config_.layers) return HNSWError::InvalidLayer;
  prepared->filter = filter;
  if (filter == nullptr) return Status<HNSWError>::Ok();
  if (!config_.schema) return HNSWError::NoSchema;
  const auto& schema = *config_.schema;
  if (schema.empty()) return HNSWError::EmptySchema;
  const auto found = std::find(schema.begin(), schema.end(), filter->attribute);
  if (found == schema.end()) return HNSWError::AttributeNotFound;
  const auto position = static_cast<std::size_t>(found - schema.begin());
  prepared->position = position;
  prepared->codes = metadata_.codes(position);
  prepared->code = metadata_.code_of(position, filter->value);
  return Status<HNSWError>::Ok();
}

// While the list is full its last distance only falls, so a neighbour
// whose distance cannot get below the present one is never admitted. The
// neighbours go through in row order, in runs of at most kRunLimit: one
// whose distance the operation already knows is ready with it; one proved
// at least the bound is dropped; the rest are screened kLanes at a time,
// and those the screen leaves are measured exactly, kLanes at a time. Then
// the run's ready ones are admitted in row order and the bound taken again.
// The bound is the list's last distance as the admissions before left it,
// never below its present one, so whatever it rules out would not have
// been admitted.
template <class Admit>
void HNSW::admit_from_full_list(Scratch& scratch, const Query& query, std::span<const NodeId32> nodes,
                                Admit& admit) const {
  const BatchKernels& kernels = batch_kernels();
  const std::size_t dim = config_.dim;
  std::vector<Ready>& ready = scratch.ready;
  std::vector<Waiting>& to_screen = scratch.to_screen;
  std::vector<Waiting>& to_measure = scratch.to_measure;
  ready.clear();
  to_screen.clear();
  to_measure.clear();
  std::size_t run = 0;  // neighbours kept since the last admission
  double bound = scratch.admitted[scratch.ranked.back().id];
  float limit = screen_limit(query, bound);

  // The screen goes in two parts: the lanes the first part leaves in doubt
  // wait, with their sums, to fill a batch for the second, so that a few
  // near neighbours do not keep seven far ones to the end. Rotated copies
  // carry most of a distance in their first components, so their first
  // part is shorter. A coarser pass ahead of both (4-bit cells of the first
  // 32 rotated components, 16 bytes a node) ruled out 76 to 86 % of lanes
  // but made queries 10 to 19 % slower: the lanes it removes are those the
  // first part's checkpoint already dismisses cheaply.
  const std::size_t common = query.common;
  const std::size_t half =
      (query.rotated ? std::min(common / 2, kRotatedScreenSplit) : common / 2) / kScreenCheckpoint * kScreenCheckpoint;
  const std::size_t split = half == 0 ? common : half;
  Waiting doubt[2 * kLanes];
  float doubt_sum[2 * kLanes];
  std::size_t doubt_count = 0;
  const auto screen_batch = [&](const Waiting* batch, const float* start_sums, std::size_t count, std::size_t from,
                                std::size_t to) {
    const float* rows[kLanes];
    float sums[kLanes];
    for (std::size_t l = 0; l < kLanes; ++l) {
      const std::size_t lane = l < count ? l : 0;
      rows[l] = rounded_.data() + std::size_t{batch[lane].node} * dim;
      sums[l] = start_sums == nullptr ? 0.0f : start_sums[lane];
    }
    const unsigned ruled = kernels.euclidean_screen_gathered(query.rounded.data(), from, to, rows, limit, sums);
    for (std::size_t l = 0; l < count; ++l) {
      if (ruled >> l & 1u) {
        scratch.remember_sum(batch[l].node, sums[l]);
      } else if (to < common) {
        doubt[doubt_count] = batch[l];
        doubt_sum[doubt_count++] = sums[l];
      } else {
        prefetch_measured(vectors_.data(), batch[l].node, dim);
        to_measure.push_back(batch[l]);
      }
    }
  };
  // The second half, a full batch at a time; with `all`, the rest too.
  const auto finish = [&](bool all) {
    while (doubt_count >= kLanes || (all && doubt_count != 0)) {
      const std::size_t count = std::min(kLanes, doubt_count);
      screen_batch(doubt, doubt_sum, count, split, common);
      std::copy(doubt + count, doubt + doubt_count, doubt);
      std::copy(doubt_sum + count, doubt_sum + doubt_count, doubt_sum);
      doubt_count -= count;
    }
  };
  const auto screen = [&] {
    if (to_screen.empty()) return;
    screen_batch(to_screen.data(), nullptr, to_screen.size(), 0, split);
    to_screen.clear();
    finish(false);
  };
  const auto flush = [&] {
    screen();
    finish(true);
    NodeId32 ids[kLanes];
    double values[kLanes];
    for (std::size_t start = 0; start < to_measure.size(); start += kLanes) {
      const std::size_t n = std::min(kLanes, to_measure.size() - start);
      for (std::size_t j = 0; j < n; ++j) ids[j] = to_measure[start + j].node;
      exact_distances(query, std::span<const NodeId32>(ids, n), bound, values);
      for (std::size_t j = 0; j < n; ++j) {
        const Waiting& measured = to_measure[start + j];
        ready.push_back(Ready{measured.place, measured.node, values[j]});
        // +infinity stands for a lane abandoned: only its floor is known.
        if (values[j] != kInfinity) {
          scratch.remember(measured.node, values[j]);
        } else if (!std::isnan(bound)) {
          scratch.remember_floor(measured.node, bound);
        }
      }
    }
    to_measure.clear();
    // Row order: the known ones were ready before those measured.
    std::sort(ready.begin(), ready.end(), [](const Ready& x, const Ready& y) { return x.place < y.place; });
    for (const Ready& r : ready) admit(r.node, r.value);
    ready.clear();
    run = 0;
    bound = scratch.admitted[scratch.ranked.back().id];
    limit = screen_limit(query, bound);
  };

  for (std::size_t i = 0; i < nodes.size(); ++i) {
    if (i + kPrefetchAhead < nodes.size()) prefetch_row(rounded_.data(), nodes[i + kPrefetchAhead], dim);
    const NodeId32 node = nodes[i];
    const auto place = static_cast<std::uint32_t>(i);
    if (scratch.is_known(node)) {
      ready.push_back(Ready{place, node, scratch.known[node]});
      ++run;
    } else if (!scratch.reaches(node, bound, limit)) {
      count_distances(1);
      ++run;
      if (std::isnan(limit)) {
        to_measure.push_back(Waiting{place, node});
      } else {
        to_screen.push_back(Waiting{place, node});
        if (to_screen.size() == kLanes) screen();
      }
    }
    if (to_screen.empty() && (to_measure.size() >= kLanes || run >= kRunLimit)) flush();
  }
  flush();
}

void HNSW::layer_search(Scratch& scratch, NodeId32 entry, const Query& query, std::uint32_t ef,
                        std::uint32_t layer, const PreparedFilter& filter, std::vector<Neighbor>* result,
                        NodeId32 unlisted) const {
  scratch.begin_search(node_count_);

  double entry_distance;
  if (scratch.is_known(entry)) {
    entry_distance = scratch.known[entry];
  } else {
    entry_distance = distance(query, entry);
    count_distances(1);
    scratch.remember(entry, entry_distance);
  }
  // The result list in rank order: the tests below compare keys, which
  // order exactly as ranks_before does.
  std::vector<RankedNode>& ranked = scratch.ranked;
  ranked.assign(1, RankedNode{rank_key(entry_distance), entry});
  scratch.admitted[entry] = entry_distance;
  scratch.visit_fresh(std::span<const NodeId32>(&entry, 1));
  std::vector<Candidate>& candidates = scratch.candidates;
  candidates.assign(1, ranked.front());
  std::vector<NodeId32>& batch = scratch.batch;
  // The nodes the search can visit. Once all are, no row has a fresh
  // entry, nothing more is measured, and the list can no longer change.
  // A row on this layer holds only nodes that reach it, never `unlisted`;
  // the entry is visited whatever its level.
  const std::size_t listable = nodes_reaching(layer) + (levels_[entry] < layer) -
                               (unlisted != kNoNode && unlisted != entry && levels_[unlisted] >= layer);

  while (!candidates.empty()) {
    std::pop_heap(candidates.begin(), candidates.end(), RanksAfter{});
    const Candidate candidate = candidates.back();
    candidates.pop_back();
    // Stop at a candidate ranking after the farthest result; a NaN ranks
    // after every number, so a NaN tail never stops the walk.
    if (ranked.back().key < candidate.key || scratch.visited_count == listable) break;

    // Neighbours that a visit would measure, in row order. A repeat or a
    // self-link would meet the same tests or be visited already, so rows
    // keep neither; the visited test comes before the distance, which is
    // pure.
    const NodeId32 node = candidate.id;
    const std::uint32_t top = graph_.top_layer(node);
    const bool test_levels = layer > top;
    const std::size_t count = graph_.with_list(node, std::min(layer, top), [&](auto list) -> std::size_t {
      count_entries_walked(list.size());
      if (batch.size() < list.size() + kFreshPadding) batch.resize(list.size() + kFreshPadding);
      const std::uint8_t* marks = scratch.visited.data();
      const std::uint8_t mark = scratch.mark;
      NodeId32* fresh = batch.data();
      std::size_t fresh_count = 0;
      // A list holds no repeats, so its entries can all be tested against
      // the marks as they stood before it, and the fresh ones marked
      // afterwards: the tests then carry no dependence on one another and
      // need no branch. Every stale mark is below the search's.
      if (!test_levels && filter.filter == nullptr) {
        // The common case.
        if (node_count_ <= (std::size_t{1} << 31)) {
          fresh_count = fresh_entries(list, marks, mark, fresh);
        } else {
          for (const NodeId32 neighbor : list) {
            fresh[fresh_count] = neighbor;
            fresh_count += marks[neighbor] < mark;
          }
        }
      } else if (!test_levels) {
        // A filtered search: the same, with the filter's test folded in.
        const std::uint32_t* codes = filter.codes;
        const std::uint32_t code = filter.code;
        for (const NodeId32 neighbor : list) {
          fresh[fresh_count] = neighbor;
          fresh_count += (marks[neighbor] < mark) & (codes[neighbor] == code);
        }
      } else {
        // A layer above the node's top list: its top list, keeping the
        // neighbours that reach the layer (and pass the filter, if any).
        const std::uint32_t* levels = levels_.data();
        const std::uint32_t* codes = filter.filter != nullptr ? filter.codes : nullptr;
        const std::uint32_t code = filter.code;
        for (const NodeId32 neighbor : list) {
          fresh[fresh_count] = neighbor;
          const bool passing = codes == nullptr || codes[neighbor] == code;
          fresh_count += (marks[neighbor] < mark) & (levels[neighbor] >= layer) & passing;
        }
      }
      scratch.visit_fresh(std::span<const NodeId32>(fresh, fresh_count));
      return fresh_count;
    });
    if (count == 0) continue;
    const std::span<const NodeId32> fresh(batch.data(), count);

    // With every node visited the search ends before it pops another
    // candidate, so none are queued.
    const bool last_visit = scratch.visited_count == listable;
    const auto admit = [&](NodeId32 node, double d) {
      const std::int64_t key = rank_key(d);
      // Admitted into a full list only ranking before its last pair: NaN
      // ranks after every number, so a NaN tail admits any number.
      if (ranked.size() < ef || key < ranked.back().key) {
        const RankedNode pair{key, node};
        scratch.admitted[node] = d;
        if (!last_visit) {
          candidates.push_back(pair);
          std::push_heap(candidates.begin(), candidates.end(), RanksAfter{});
        }
        ranked.insert(ranked.begin() + static_cast<std::ptrdiff_t>(rank_insertion_position(ranked, key)), pair);
        if (ranked.size() > ef) ranked.pop_back();
      }
    };

    // A list not yet full admits every neighbour until it is: those are
    // measured first.
    std::size_t from = 0;
    if (ranked.size() < ef) {
      from = std::min<std::size_t>(count, ef - ranked.size());
      if (scratch.batch_distances.size() < from) scratch.batch_distances.resize(from);
      measure(query, fresh.first(from), scratch);
      for (std::size_t i = 0; i < from; ++i) admit(fresh[i], scratch.batch_distances[i]);
    }
    if (from < count) admit_from_full_list(scratch, query, fresh.subspan(from), admit);
  }
  result->resize(ranked.size());
  for (std::size_t i = 0; i < ranked.size(); ++i) (*result)[i] = Neighbor{scratch.admitted[ranked[i].id], ranked[i].id};
}

Status<HNSWError> HNSW::knn(NodeId entry, std::span<const double> query, std::uint32_t ef, std::uint32_t layer,
                            const Filter* filter, std::vector<Neighbor>* result) const {
  PreparedFilter prepared;
  if (Status<HNSWError> status = prepare_filter(ef, layer, filter, &prepared); !status.ok()) return status;
  check_invariant(entry < node_count_, "layer search from a node that is not stored");
  const ScratchPool::Lease scratch = scratch_->take();
  (*scratch).begin_operation(node_count_);
  layer_search(*scratch, static_cast<NodeId32>(entry), prepare_query(query), ef, layer, prepared, result, kNoNode);
  return Status<HNSWError>::Ok();
}

std::size_t HNSW::tally_slot(std::uint32_t level) {
  // One slot per level a drawn level can take (the weights number at most
  // 746), and one more for any level beyond.
  return std::min<std::size_t>(level, kHighestListLayer + 1);
}

std::size_t HNSW::nodes_reaching(std::uint32_t layer) const {
  std::size_t count = node_count_ != 0 && levels_[0] >= layer;
  for (std::size_t slot = tally_slot(layer); slot < level_tally_.size(); ++slot) count += level_tally_[slot];
  return count;
}

std::uint32_t HNSW::top_list_layer(std::uint32_t layers, std::uint32_t level) {
  return layers == 0 ? 0 : std::min({level, layers - 1, kHighestListLayer});
}

NodeId HNSW::store(std::span<const double> vector, std::uint32_t level, std::optional<std::vector<Metadata>> record,
                   const Query* prepared) {
  check_invariant(vector.size() == config_.dim, "insertion of a vector whose length is not the index dimension");
  if (node_count_ >= kNoNode) throw std::length_error("the index holds as many nodes as it can");
  const std::uint32_t top_list = top_list_layer(config_.layers, level);
  // All the room first, so that a failed allocation leaves no node half
  // stored: the appends below cannot fail.
  reserve_more(vectors_, config_.dim);
  if (kind_ == MetricKind::Euclidean) reserve_more(rounded_, config_.dim);
  if (kind_ == MetricKind::Cosine) reserve_more(norms_, 1);
  reserve_more(levels_, 1);
  if (node_count_ != 0 && level_tally_.size() <= tally_slot(level)) level_tally_.resize(tally_slot(level) + 1, 0);
  reserve_more(has_row_, 1);
  metadata_.reserve_node(record ? &*record : nullptr);
  if (pruned_) {
    pruned_->reserve_node(level);
    // The last step that can fail; it takes itself back when it does.
    if (record) postings_.add(static_cast<NodeId32>(node_count_), *record);
  } else {
    reserve_more(backlinked_, 1);
    reserve_more(listed_, 1);
    graph_.reserve_node(top_list);
  }

  vectors_.insert(vectors_.end(), vector.begin(), vector.end());
  if (kind_ == MetricKind::Euclidean) {
    if (screen_rotation_) {
      // Within the room reserved above: no allocation. The vector prepared
      // as a query was turned already; where its values are all finite as
      // floats they are the copy's.
      rounded_.resize(rounded_.size() + config_.dim);
      float* copy = rounded_.data() + rounded_.size() - config_.dim;
      if (prepared != nullptr && prepared->rotated && prepared->rounded.size() == config_.dim) {
        std::copy(prepared->rounded.begin(), prepared->rounded.end(), copy);
      } else {
        screen_rotation_->rotate_rounded(vector.data(), copy);
      }
    } else {
      for (const double x : vector) rounded_.push_back(rounded_component(x));
    }
  }
  if (kind_ == MetricKind::Cosine) norms_.push_back(squared_norm(vector));
  levels_.push_back(level);
  if (node_count_ != 0) ++level_tally_[tally_slot(level)];
  has_row_.push_back(false);
  if (record) {
    metadata_.append_record(std::move(*record));
  } else {
    metadata_.append_without_record();
  }
  if (pruned_) {
    pruned_->add_node(level);
  } else {
    backlinked_.push_back(kNoNode);
    listed_.push_back(kNoNode);
    graph_.add_node(top_list);
  }
  return node_count_++;
}

Status<HNSWError> HNSW::insert(std::span<const double> vector, std::optional<std::vector<Metadata>> record,
                               LevelSource& levels) {
  // Whatever the status, the node is stored (an exception stores nothing).
  const Status<HNSWError> status =
      pruned_ ? insert_pruned(vector, std::move(record), levels) : insert_described(vector, std::move(record), levels);
  refit_screen_if_due();
  return status;
}

void HNSW::refit_screen_if_due() noexcept {
  if (kind_ != MetricKind::Euclidean || node_count_ < next_screen_fit_) return;
  while (next_screen_fit_ <= node_count_) {
    next_screen_fit_ = next_screen_fit_ <= SIZE_MAX / kScreenFitGrowth ? next_screen_fit_ * kScreenFitGrowth : SIZE_MAX;
  }
  std::optional<ScreenRotation> fitted;
  try {
    const std::size_t stride = (node_count_ + kScreenFitSample - 1) / kScreenFitSample;
    fitted = ScreenRotation::fit(vectors_.data(), (node_count_ + stride - 1) / stride, stride, config_.dim);
  } catch (...) {
    return;  // no memory to fit: the copies stay as they are
  }
  if (!fitted) return;
  screen_rotation_ = std::move(fitted);
  const std::size_t dim = config_.dim;
  for (std::size_t v = 0; v < node_count_; ++v) {
    screen_rotation_->rotate_rounded(vectors_.data() + v * dim, rounded_.data() + v * dim);
  }
}

Status<HNSWError> HNSW::insert_described(std::span<const double> vector, std::optional<std::vector<Metadata>> record,
                                         LevelSource& levels) {
  if (node_count_ == 0) {
    // The first node is the fixed entry point: it sits on every layer and
    // gets its (empty) row at once. It draws no level.
    store(vector, config_.layers - 1, std::move(record));
    has_row_[0] = true;
    return Status<HNSWError>::Ok();
  }
  const std::uint32_t level = levels.next_level(level_weights_, config_.layers);
  const std::uint32_t previous_highest = highest_other_level_;
  // Prepared first: it allocates, and nothing is stored yet if it fails.
  const Query query = prepare_query(vector);
  const auto node = static_cast<NodeId32>(store(vector, level, std::move(record), &query));
  highest_other_level_ = std::max(highest_other_level_, level);
  if (config_.layers == 0) return Status<HNSWError>::Ok();
  // A failure while linking (no memory for a search or a longer list) takes
  // back everything the insertion did: a half-linked node, listed by some
  // neighbours but without a row of its own, would break later insertions.
  try {
    return link(node, level, query);
  } catch (...) {
    unlink_last(node, level, previous_highest);
    throw;
  }
}

// Links the node just stored, layer by layer from layer 0 up.
Status<HNSWError> HNSW::link(NodeId32 node, std::uint32_t level, const Query& query) {
  // Above the highest level of any node but node 0, a layer holds node 0
  // alone. There the search from the new node can reach node 0 only through
  // the new node's row, which gets node 0 only from a lower layer whose
  // linking already made both links: such layers add nothing, and are skipped.
  const std::uint32_t last_layer = std::min(config_.layers - 1, highest_other_level_);
  const PreparedFilter no_filter;
  const ScratchPool::Lease scratch = scratch_->take();
  (*scratch).begin_operation(node_count_);
  std::vector<Neighbor>& found = (*scratch).found;
  NodeId32 entry = 0;
  bool listed = false;  // by some row: from the first linking step on
  for (std::uint32_t layer = 0; layer <= last_layer; ++layer) {
    const std::uint32_t ef = layer < level ? 1 : config_.ef_construction;
    if (ef == 0) return HNSWError::InvalidEF;
    layer_search(*scratch, entry, query, ef, layer, no_filter, &found, listed ? kNoNode : node);
    if (layer < level) {  // a greedy step below the node's level
      entry = static_cast<NodeId32>(found.front().id);
      continue;
    }
    // A linking step: back-links first, in result order, then the results
    // join the new node's row. Each link is made once.
    listed = true;
    // Each back-link lands in another node's list, far from the others:
    // their descriptors are asked for together, so that the misses overlap.
    // (Asking for the lists' tails as well, which needs the descriptors
    // first, measured slower.)
    for (const Neighbor& neighbor : found) graph_.prefetch_descriptor(static_cast<NodeId32>(neighbor.id));
    for (const Neighbor& neighbor : found) {
      const auto linked = static_cast<NodeId32>(neighbor.id);
      if (!has_row(linked)) return HNSWError::InvalidNodeID;
      if (linked != node && backlinked_[linked] != node) {
        graph_.append(linked, node, level);
        backlinked_[linked] = node;  // once the link exists: undoing trusts it
      }
    }
    for (const Neighbor& neighbor : found) {
      const auto linked = static_cast<NodeId32>(neighbor.id);
      if (linked != node && listed_[linked] != node) {
        listed_[linked] = node;
        graph_.append(node, linked, levels_[linked]);
      }
    }
    has_row_[node] = true;
    entry = node;
  }
  return Status<HNSWError>::Ok();
}

void HNSW::unlink_last(NodeId32 node, std::uint32_t level, std::uint32_t previous_highest) {
  // The tags tell which nodes this insertion linked back to it; they are
  // cleared, since the next insertion takes the same identifier.
  for (NodeId32 other = 0; other < node; ++other) {
    if (backlinked_[other] == node) {
      graph_.remove_last(other, node, level);
      backlinked_[other] = kNoNode;
    }
    if (listed_[other] == node) listed_[other] = kNoNode;
  }
  graph_.remove_last_node();
  metadata_.remove_last_node();
  vectors_.erase(vectors_.end() - static_cast<std::ptrdiff_t>(config_.dim), vectors_.end());
  if (kind_ == MetricKind::Euclidean) rounded_.resize(rounded_.size() - config_.dim);
  if (kind_ == MetricKind::Cosine) norms_.pop_back();
  if (levels_.size() > 1) --level_tally_[tally_slot(levels_.back())];
  levels_.pop_back();
  has_row_.pop_back();
  backlinked_.pop_back();
  listed_.pop_back();
  highest_other_level_ = previous_highest;
  --node_count_;
}

void HNSW::check_room_for(std::size_t count) const {
  if (count > kNoNode - node_count_) throw std::length_error("the index holds as many nodes as it can");
}

Status<HNSWError> HNSW::create(const VectorBatch& vectors, std::vector<std::vector<Metadata>> records,
                               LevelSource& levels) {
  if (vectors.empty()) return HNSWError::EmptyVectors;
  check_room_for(vectors.size());
  const bool with_records = config_.schema.has_value();
  if (with_records && records.size() != vectors.size()) return HNSWError::AttributeNotFound;
  for (std::size_t i = 0; i < vectors.size(); ++i) {
    std::optional<std::vector<Metadata>> record;
    if (with_records) record = std::move(records[i]);
    if (Status<HNSWError> status = insert(vectors[i], std::move(record), levels); !status.ok()) return status;
  }
  return Status<HNSWError>::Ok();
}

Status<HNSWError> HNSW::check_search(const Filter* filter) const {
  if (node_count_ == 0) return Status<HNSWError>::Ok();
  PreparedFilter prepared;
  if (config_.layers >= 2) {
    if (Status<HNSWError> status = prepare_filter(1, config_.layers - 1, filter, &prepared); !status.ok()) {
      return status;
    }
  }
  return prepare_filter(config_.ef_search, 0, filter, &prepared);
}

Status<HNSWError> HNSW::search(std::span<const double> query, std::uint32_t k, const Filter* filter,
                               std::vector<Neighbor>* result) const {
  if (pruned_) return search_pruned(query, k, filter, result);
  result->clear();
  if (node_count_ == 0) return Status<HNSWError>::Ok();
  const Query prepared_query = prepare_query(query);
  PreparedFilter prepared;
  const ScratchPool::Lease scratch = scratch_->take();
  (*scratch).begin_operation(node_count_);
  std::vector<Neighbor>& found = (*scratch).found;
  NodeId32 entry = 0;
  if (config_.layers >= 2) {
    // Every layer above the highest level of the other nodes holds node 0
    // alone, so the descent stays there; its checks are the top layer's.
    if (Status<HNSWError> status = prepare_filter(1, config_.layers - 1, filter, &prepared); !status.ok()) {
      return status;
    }
    for (std::uint32_t layer = std::min(config_.layers - 1, highest_other_level_); layer >= 1; --layer) {
      layer_search(*scratch, entry, prepared_query, 1, layer, prepared, &found, kNoNode);
      entry = static_cast<NodeId32>(found.front().id);
    }
  }
  if (Status<HNSWError> status = prepare_filter(config_.ef_search, 0, filter, &prepared); !status.ok()) {
    return status;
  }
  layer_search(*scratch, entry, prepared_query, config_.ef_search, 0, prepared, &found, kNoNode);
  // The walk starts from an entry that no filter tested, so the output
  // checks every pair again: a filtered query reports passing nodes only.
  const std::size_t wanted = std::max<std::uint32_t>(k, 1);
  for (const Neighbor& neighbor : found) {
    if (filter != nullptr && !passes(prepared, static_cast<NodeId32>(neighbor.id))) continue;
    result->push_back(neighbor);
    if (result->size() >= wanted) break;
  }
  return Status<HNSWError>::Ok();
}

// The pruned graph measures through the index's own kernels, so a query's
// values are the metric's exactly. The graph's links want a dissimilarity:
// under the two similarity metrics that is the negated value, so that links
// join similar vectors. A query then ranks by the plain value, which is the
// negated value against the negated query: the walk is still a nearest-
// neighbour search on the graph the links made.
class HNSW::PrunedDistances final : public PrunedGraph::Distances {
 public:
  enum class Use { Query, Link };
  PrunedDistances(const HNSW& index, const Query& query, Use use)
      : index_(index),
        query_(query),
        negate_(index.kind_ == MetricKind::Dot || index.kind_ == MetricKind::Cosine),
        negate_query_(negate_ && use == Use::Link) {}
  void to_query(std::span<const NodeId32> nodes, double bound, double* out) const override {
    index_.batch_distances(query_, nodes, negate_query_ ? kNaN : bound, out);
    if (negate_query_) negate(nodes.size(), out);
  }
  void between(NodeId32 from, std::span<const NodeId32> nodes, double* out) const override {
    Query stored{index_.vector(from), index_.config_.dim};
    if (index_.kind_ == MetricKind::Cosine) stored.squared_norm = index_.norms_[from];
    index_.batch_distances(stored, nodes, kNaN, out);
    if (negate_) negate(nodes.size(), out);
  }

 private:
  static void negate(std::size_t count, double* values) {
    for (std::size_t i = 0; i < count; ++i) values[i] = -values[i];
  }

  const HNSW& index_;
  const Query& query_;
  bool negate_;        // links rank by the negated value
  bool negate_query_;  // and so does the query of an insertion
};

class HNSW::PassingTest final : public PrunedGraph::NodeTest {
 public:
  PassingTest(const HNSW& index, const PreparedFilter& filter) : index_(index), filter_(filter) {}
  bool passes(NodeId32 node) const override { return index_.passes(filter_, node); }

 private:
  const HNSW& index_;
  const PreparedFilter& filter_;
};

Status<HNSWError> HNSW::insert_pruned(std::span<const double> vector, std::optional<std::vector<Metadata>> record,
                                      LevelSource& levels) {
  // Every node draws its level, capped at the top layer.
  const std::uint32_t level =
      config_.layers == 0 ? 0
                          : std::min(levels.next_level(pruned_->level_weights(), config_.layers),
                                     std::min(config_.layers - 1, pruned_->level_cap()));
  // Prepared first: it allocates, and nothing is stored yet if it fails.
  const Query query = prepare_query(vector);
  const auto node = static_cast<NodeId32>(store(vector, level, std::move(record), &query));
  if (config_.layers == 0) return Status<HNSWError>::Ok();
  if (node != 0 && config_.ef_construction == 0) return HNSWError::InvalidEF;
  try {
    pruned_->link(node, config_.ef_construction, PrunedDistances(*this, query, PrunedDistances::Use::Link));
  } catch (...) {
    // No memory while linking: the graph put its rows back; the node goes.
    pruned_->remove_last_node();
    postings_.remove_last(node, metadata_);
    metadata_.remove_last_node();
    vectors_.erase(vectors_.end() - static_cast<std::ptrdiff_t>(config_.dim), vectors_.end());
    if (kind_ == MetricKind::Euclidean) rounded_.resize(rounded_.size() - config_.dim);
    if (kind_ == MetricKind::Cosine) norms_.pop_back();
    if (levels_.size() > 1) --level_tally_[tally_slot(levels_.back())];
    levels_.pop_back();
    has_row_.pop_back();
    --node_count_;
    throw;
  }
  has_row_[node] = true;
  return Status<HNSWError>::Ok();
}

std::span<const NodeId32> HNSW::passing_nodes(const PreparedFilter& filter) const {
  return postings_.nodes(filter.position, filter.filter->value);
}

void HNSW::exact_scan(const Query& query, std::span<const NodeId32> nodes, std::size_t wanted,
                      std::vector<Neighbor>* result) const {
  std::vector<double> measured(nodes.size());
  count_distances(nodes.size());
  batch_distances(query, nodes, kNaN, measured.data());
  std::vector<Neighbor> scored(nodes.size());
  for (std::size_t i = 0; i < nodes.size(); ++i) scored[i] = Neighbor{measured[i], nodes[i]};
  const std::size_t count = std::min(wanted, scored.size());
  std::partial_sort(scored.begin(), scored.begin() + static_cast<std::ptrdiff_t>(count), scored.end(),
                    [](const Neighbor& x, const Neighbor& y) {
                      return pair_ranks_before(x.distance, x.id, y.distance, y.id);
                    });
  result->assign(scored.begin(), scored.begin() + static_cast<std::ptrdiff_t>(count));
}

Status<HNSWError> HNSW::search_pruned(std::span<const double> query, std::uint32_t k, const Filter* filter,
                                      std::vector<Neighbor>* result) const {
  result->clear();
  if (node_count_ == 0) return Status<HNSWError>::Ok();
  // The checks of the described query, in its order.
  PreparedFilter prepared;
  if (config_.layers >= 2) {
    if (Status<HNSWError> status = prepare_filter(1, config_.layers - 1, filter, &prepared); !status.ok()) {
      return status;
    }
  }
  if (Status<HNSWError> status = prepare_filter(config_.ef_search, 0, filter, &prepared); !status.ok()) {
    return status;
  }
  const Query prepared_query = prepare_query(query);
  const PrunedDistances distances(*this, prepared_query, PrunedDistances::Use::Query);
  const std::size_t wanted = std::max<std::uint32_t>(k, 1);
  const std::uint32_t beam = std::max(config_.ef_search, k);
  std::vector<PrunedGraph::Scored> found;
  if (filter == nullptr) {
    pruned_->search(distances, beam, nullptr, &found);
    // A walk stranded in a small part of the graph (links chosen on a
    // similarity can leave one) would return fewer than k results; the
    // exact scan of every node answers instead.
    if (const std::size_t expected = std::min<std::size_t>(wanted, node_count_); found.size() < expected) {
      std::vector<NodeId32> every_node(node_count_);
      for (std::size_t i = 0; i < node_count_; ++i) every_node[i] = static_cast<NodeId32>(i);
      exact_scan(prepared_query, every_node, expected, result);
      return Status<HNSWError>::Ok();
    }
    for (std::size_t i = 0; i < std::min(wanted, found.size()); ++i) {
      result->push_back(Neighbor{found[i].distance, found[i].id});
    }
    return Status<HNSWError>::Ok();
  }

  const std::span<const NodeId32> passing = passing_nodes(prepared);
  const std::size_t expected = std::min(wanted, passing.size());
  if (expected == 0) return Status<HNSWError>::Ok();
  const double count = static_cast<double>(passing.size());
  if (count * count <= kExactScanFactor * beam * static_cast<double>(node_count_)) {
    exact_scan(prepared_query, passing, expected, result);
    return Status<HNSWError>::Ok();
  }
  const PassingTest test(*this, prepared);
  pruned_->search(distances, beam, &test, &found);
  if (found.size() < expected) {
    exact_scan(prepared_query, passing, expected, result);
    return Status<HNSWError>::Ok();
  }
  for (std::size_t i = 0; i < expected; ++i) result->push_back(Neighbor{found[i].distance, found[i].id});
  return Status<HNSWError>::Ok();
}

}  // namespace tamsel
