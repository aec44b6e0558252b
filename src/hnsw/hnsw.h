// HNSW: the approximate index over a layered proximity graph.
//
// One adjacency serves every layer: a node belongs to layer i when its level
// is at least i, and the search of layer i follows only edges to such nodes.
// Node 0, the first vector inserted, is the fixed entry point of every
// insertion and query. Neighbour lists are never pruned; the parameter `m` is
// stored but bounds nothing. Nodes are never removed, so a node's identifier
// is its position in insertion order for the life of the index.
//
// With `prune` set, the graph is instead a PrunedGraph (hnsw/pruned_graph.h):
// per-layer lists bounded by m (2m on layer 0), entered at the node of the
// highest level; vectors, metadata, filters, errors and the order of results
// are those above. Its filtered queries count the passing nodes first and
// either scan them exactly or walk the graph through failing nodes, keeping
// only passing ones (see search()). Its searches use no shared working
// space, so they may run concurrently.
//
// Operations return an HNSWError value rather than throw; a Panic means a
// broken invariant. Callers guarantee that every inserted vector has `dim`
// values (the Python layer checks); queries may have any length.
//
// Thread-safety: const members are safe to call from any number of threads
// at once (each search takes its own working space from a pool); a
// non-const member needs the index to itself.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "common/huge_page_allocator.h"
#include "common/status.h"
#include "common/vector_batch.h"
#include "filter/filter.h"
#include "hnsw/graph.h"
#include "hnsw/levels.h"
#include "hnsw/pruned_graph.h"
#include "metadata/metadata.h"
#include "metadata/value_postings.h"
#include "metric/metric.h"
#include "metric/screen_rotation.h"

namespace tamsel {

enum class HNSWError {
  InvalidEF,
  InvalidLayer,
  NoSchema,
  EmptySchema,
  AttributeNotFound,
  EmptyVectors,
  InvalidNodeID,
};

// The text form of a variant: its name, e.g. "InvalidEF".
const char* hnsw_error_name(HNSWError error);

// The metric selected by an HNSW metric name: "euclidean", "angular" or
// "inner_product", compared byte for byte. Any other name selects nothing.
std::optional<MetricFn> hnsw_metric_by_name(std::string_view name);

struct HNSWConfig {
  std::uint32_t dim = 0;
  std::uint32_t layers = 5;
  std::uint32_t m = 16;
  std::uint32_t ef_construction = 200;
  std::uint32_t ef_search = 50;
  MetricFn metric = euclidean_distance;
  std::optional<std::vector<std::string>> schema;  // absent, empty or not
  bool prune = false;  // build the pruned graph instead of the described one
};

// The pruned graph's filtered query scans the passing nodes exactly when
// passing^2 <= kExactScanFactor * beam * N, that is when the share of
// passing nodes s is at most sqrt(kExactScanFactor * beam / N): a walk that
// keeps only passing nodes costs about beam / s distances (it must meet
// `beam` passing nodes), a scan costs s * N. Measured at 20,000 clustered
// 128-d vectors with beam 64, the two cost the same near s = 25 %, which
// gives the factor (bench/pruned.py).
inline constexpr double kExactScanFactor = 16.0;

// The weights e^(-j) for j = 0 .. layers - 1 from which levels are drawn.
// Entries from j = 746 on are exactly 0.0 in double precision and change no
// draw, so the table stops at the first zero entry: its size is at most 746
// whatever `layers` is.
std::vector<double> make_level_weights(std::uint32_t layers);

using NodeId = std::size_t;

// A ranked node: its metric value against the query, and its identifier.
struct Neighbor {
  double distance;
  NodeId id;
};

// The position at which a pair at distance d enters a result list sorted in
// the distance order: directly before the last pair of equal distance when
// there is one, else after every pair that ranks before d.
std::size_t result_insertion_position(std::span<const Neighbor> list, double d);

// A graph as saved, field by field: what HNSW::restore takes back. Row v of
// `neighbors` is node v's layer-0 list in the order its links were made; the
// lists of the upper layers follow from it and the levels.
struct HNSWImage {
  HNSWConfig config;
  std::vector<double, HugePageAllocator<double>> vectors;  // N * dim values, node after node
  std::vector<std::uint32_t> levels;                        // N
  std::vector<std::uint8_t> has_row;                        // N flags
  std::vector<std::uint32_t> row_lengths;                   // N
  std::vector<std::uint32_t> neighbors;                     // the rows end to end
  std::vector<std::uint8_t> has_record;                     // N flags
  std::vector<Metadata> values;                             // schema-size values per node with a record
  // The pruned graph only (config.prune): the length of every list, node
  // after node from layer 0 to its level, and the entry (0xFFFFFFFF: none).
  std::vector<std::uint32_t> list_lengths;
  std::uint32_t entry = 0xFFFFFFFFu;
};

// The screen's rotation is fitted when the index reaches this many nodes,
// and again at kScreenFitGrowth times as many, and so on, each time from a
// sample of at most kScreenFitSample nodes. Below it the screen sums raw
// components. A fit takes some 40 ms at dimension 128, so it comes rarely:
// the axes of a thousand vectors already serve the screen well.
inline constexpr std::size_t kFirstScreenFit = 1024;
inline constexpr std::size_t kScreenFitGrowth = 16;
inline constexpr std::size_t kScreenFitSample = 4096;

// No node of a pruned graph has a level this high.
inline constexpr std::uint32_t kPrunedLevelLimit = 64;

// Why an image cannot be restored: a fixed text.
struct RestoreError {
  const char* message;
};

class HNSW {
 public:
  explicit HNSW(HNSWConfig config);
  // Rebuilds the index an image was taken from. Checks first, before it
  // builds anything, that every length agrees, every level is one insertion
  // could have drawn, and every row lists stored nodes other than its own,
  // each once. The rebuilt index answers every query as the saved one did
  // and goes on accepting insertions.
  static Status<RestoreError> restore(HNSWImage image, std::optional<HNSW>* index);

  HNSW(HNSW&&) noexcept;
  HNSW& operator=(HNSW&&) noexcept;
  ~HNSW();

  std::uint32_t dim() const { return config_.dim; }
  std::uint32_t layers() const { return config_.layers; }
  std::uint32_t m() const { return config_.m; }
  std::uint32_t ef_construction() const { return config_.ef_construction; }
  std::uint32_t ef_search() const { return config_.ef_search; }
  bool prune() const { return config_.prune; }
  // The pruned graph; null unless `prune` was set.
  const PrunedGraph* pruned_graph() const { return pruned_.get(); }
  MetricFn metric() const { return config_.metric; }
  const std::optional<std::vector<std::string>>& schema() const { return config_.schema; }
  const std::vector<double>& level_weights() const { return level_weights_; }

  std::size_t size() const { return node_count_; }
  std::span<const double> vector(NodeId node) const {
    return {vectors_.data() + node * config_.dim, config_.dim};
  }
  std::uint32_t level(NodeId node) const { return levels_[node]; }
  bool has_row(NodeId node) const { return node < has_row_.size() && has_row_[node]; }
  // The node's neighbours in the search of `layer`: those of level at least
  // `layer`, each once, in the order first linked, never the node itself.
  std::vector<NodeId> neighbors(NodeId node, std::uint32_t layer) const;

  // Adds one vector, with its metadata record of schema-size values when
  // `record` is given, and links it into the graph. The first node takes the
  // level layers - 1 and is not linked; every later one takes its level from
  // `levels`. An exception (no memory) leaves the index exactly as it was
  // before the call; after an error value, what was stored stays stored.
  Status<HNSWError> insert(std::span<const double> vector, std::optional<std::vector<Metadata>> record,
                           LevelSource& levels);

  // Throws std::length_error, before anything is stored, when `count` more
  // nodes would take the index past the most it can hold (one less than
  // 2^32), so that a batch that claims more rows than that fails at once.
  void check_room_for(std::size_t count) const;

  // Inserts the vectors in order, vector k with records[k] when the index has
  // a schema (records is then as long as vectors, else AttributeNotFound
  // before anything is stored). EmptyVectors for no vectors. Stops at the
  // first failing insertion; the vectors before it stay.
  Status<HNSWError> create(const VectorBatch& vectors, std::vector<std::vector<Metadata>> records,
                           LevelSource& levels);

  // The beam search over one layer from `entry`: up to `ef` nodes ranked by
  // their distance to the query, nearest first. The entry seeds the result
  // untested; neighbours below `layer`, or failing the filter, are skipped.
  Status<HNSWError> knn(NodeId entry, std::span<const double> query, std::uint32_t ef, std::uint32_t layer,
                        const Filter* filter, std::vector<Neighbor>* result) const;

  // The query: a greedy descent from node 0 through the upper layers, then a
  // search of layer 0 with beam ef_search. Returns its first max(k, 1) pairs;
  // with a filter, only pairs whose node passes it. Empty for an empty index.
  //
  // On the pruned graph the descent starts at its entry and the beam of
  // layer 0 is max(ef_search, k). Unfiltered, it returns the first max(k, 1)
  // pairs the walk found. Filtered, it returns exactly min(max(k, 1),
  // passing) pairs of passing nodes: by an exact scan of the passing nodes
  // when few pass (kExactScanFactor), else by a walk that moves through
  // failing nodes too, finished by the exact scan when it found too few.
  // Pairs come in the distance order, ties by the smaller identifier.
  Status<HNSWError> search(std::span<const double> query, std::uint32_t k, const Filter* filter,
                           std::vector<Neighbor>* result) const;

  // What search() fails with for this filter, whatever the query: its
  // checks, in its order, without searching. Ok when it would succeed.
  Status<HNSWError> check_search(const Filter* filter) const;

  // Bytes held by the graph (lists, their spare room and descriptors).
  std::size_t graph_memory_bytes() const { return pruned_ ? pruned_->memory_bytes() : graph_.memory_bytes(); }
  const Graph& graph() const { return graph_; }
  const MetadataStore& metadata() const { return metadata_; }

 private:
  struct Query;
  struct PreparedFilter;
  struct Scratch;
  class PrunedDistances;
  class PassingTest;

  Status<HNSWError> insert_described(std::span<const double> vector, std::optional<std::vector<Metadata>> record,
                                     LevelSource& levels);
  Status<HNSWError> insert_pruned(std::span<const double> vector, std::optional<std::vector<Metadata>> record,
                                  LevelSource& levels);
  Status<HNSWError> search_pruned(std::span<const double> query, std::uint32_t k, const Filter* filter,
                                  std::vector<Neighbor>* result) const;
  // The nodes that pass the filter, in identifier order.
  std::span<const NodeId32> passing_nodes(const PreparedFilter& filter) const;
  void exact_scan(const Query& query, std::span<const NodeId32> nodes, std::size_t wanted,
                  std::vector<Neighbor>* result) const;
  class ScratchPool;

  static std::uint32_t top_list_layer(std::uint32_t layers, std::uint32_t level);
  // At least the number of nodes whose level is at least `layer`, exactly
  // so up to the highest level any node but node 0 can draw.
  std::size_t nodes_reaching(std::uint32_t layer) const;
  static std::size_t tally_slot(std::uint32_t level);
  // `prepared`, when given, is the vector prepared as a query.
  NodeId store(std::span<const double> vector, std::uint32_t level, std::optional<std::vector<Metadata>> record,
               const Query* prepared = nullptr);
  Status<HNSWError> link(NodeId32 node, std::uint32_t level, const Query& query);
  void unlink_last(NodeId32 node, std::uint32_t level, std::uint32_t previous_highest);
  Query prepare_query(std::span<const double> query) const;
  // Fits the screen's rotation once the index has grown to the next size
  // that calls for it, and rotates every screen copy. Without the memory to
  // fit, the old rotation (or none) stays: it serves as well, only slower.
  void refit_screen_if_due() noexcept;
  Status<HNSWError> prepare_filter(std::uint32_t ef, std::uint32_t layer, const Filter* filter,
                                   PreparedFilter* prepared) const;
  // `unlisted` is a node no row holds yet (the one being linked), else a
  // value no node has: the walk stops reading rows once every node it
  // could still meet is visited.
  void layer_search(Scratch& scratch, NodeId32 entry, const Query& query, std::uint32_t ef, std::uint32_t layer,
                    const PreparedFilter& filter, std::vector<Neighbor>* result, NodeId32 unlisted) const;
  double distance(const Query& query, NodeId32 node) const;
  // The distances of the nodes into out, +infinity for one at least the
  // bound.
  void batch_distances(const Query& query, std::span<const NodeId32> nodes, double bound, double* out) const;
  void screened_distances(const Query& query, std::span<const NodeId32> nodes, double bound, float limit,
                          double* out) const;
  // The gathered screen's limit for this query and bound: NaN when the
  // screen does not serve it.
  float screen_limit(const Query& query, double bound) const;
  // The distances of the nodes, without the screen.
  void exact_distances(const Query& query, std::span<const NodeId32> nodes, double bound, double* out) const;
  // Measures the fresh neighbours of a visit against the full list, in
  // order, and hands each one that may be admitted to `admit`.
  template <class Admit>
  void admit_from_full_list(Scratch& scratch, const Query& query, std::span<const NodeId32> nodes,
                            Admit& admit) const;
  // The distances of the nodes into scratch.batch_distances, reusing those
  // measured earlier in the same operation.
  void measure(const Query& query, std::span<const NodeId32> nodes, Scratch& scratch) const;
  bool passes(const PreparedFilter& filter, NodeId32 node) const;

  HNSWConfig config_;
  MetricKind kind_;
  std::vector<double> level_weights_;
  std::size_t node_count_ = 0;
  std::uint32_t highest_other_level_ = 0;  // over every node but node 0
  std::vector<double, HugePageAllocator<double>> vectors_;
  std::vector<double> norms_;  // squared norms, kept for the cosine only
  // The vectors rounded to float (rounded_component), node after node, kept
  // for the Euclidean metric only: derived from vectors_, never saved. Once
  // the index has kFirstScreenFit nodes, each copy is of the vector turned
  // by screen_rotation_, so that the screen's first components carry most
  // of a distance (metric/screen_rotation.h).
  std::vector<float, HugePageAllocator<float>> rounded_;
  std::optional<ScreenRotation> screen_rotation_;
  std::size_t next_screen_fit_ = kFirstScreenFit;
  std::vector<std::uint32_t> levels_;
  // Nodes other than node 0 by level (tally_slot), for nodes_reaching.
  std::vector<std::uint32_t> level_tally_;
  std::vector<bool> has_row_;
  Graph graph_;
  MetadataStore metadata_;
  // Tags that find repeated links within one insertion in constant time: a
  // node's entry holds the identifier of the node being inserted once that
  // link exists.
  std::vector<NodeId32> backlinked_;
  std::vector<NodeId32> listed_;
  std::unique_ptr<ScratchPool> scratch_;
  std::unique_ptr<PrunedGraph> pruned_;  // with `prune` only
  ValuePostings postings_;               // with `prune` only
};

}  // namespace tamsel
