// PrunedGraph: the neighbour lists of the pruned graph, the layout behind
// PyHNSW(..., prune=True), and the walks over them.
//
// Each layer keeps its own lists. A node's list holds at most 2*m
// identifiers on layer 0 and m on every layer above; the lists are chosen by
// the diversity heuristic: a candidate is kept only when no neighbour kept
// before it is strictly closer to it than the node itself. Rows have fixed
// capacity and lie back to back in two flat arrays of 32-bit identifiers
// (layer 0 for every node, the upper layers for the nodes that have them),
// so nothing is allocated per node. On layer 0 each node's in-links are
// counted: when a full list drops a node that no other list holds, the node
// takes the place of the farthest kept one that others hold too, so no node
// loses its last way in. With m of 4 or more this keeps every node reachable
// from the entry on the data we test; smaller m can leave islands.
//
// Levels follow the geometric distribution with mult = 1/ln(m): P(level >= j)
// = m^-j, capped at layers - 1 (the top layer collects the rest). Walks
// enter at the node of the highest level; the first node to reach a new
// highest level becomes the entry.
//
// The graph holds no vectors: distances come from the caller, through
// Distances, so that they are the index's metric values exactly.
//
// Thread safety: const methods only read the lists and take their visited
// marks from a mutex-guarded pool, so any number of threads may search at
// once. link() and add_node() need exclusive access.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "hnsw/visited_pool.h"

namespace tamsel {

class PrunedGraph {
 public:
  using Id = std::uint32_t;

  struct Scored {
    double distance;
    Id id;
  };

  // Metric values for one operation, measured by the index that owns the
  // vectors.
  class Distances {
   public:
    virtual ~Distances() = default;
    // out[i] = metric(query, vector(nodes[i])). With a bound that is not
    // NaN, a value that would be >= bound (or NaN) may come back as
    // +infinity instead.
    virtual void to_query(std::span<const Id> nodes, double bound, double* out) const = 0;
    // out[i] = metric(vector(from), vector(nodes[i])).
    virtual void between(Id from, std::span<const Id> nodes, double* out) const = 0;
  };

  // Which nodes a filtered walk may return.
  class NodeTest {
   public:
    virtual ~NodeTest() = default;
    virtual bool passes(Id node) const = 0;
  };

  // `m` below 2 is taken as 2: with fewer the lists cannot keep a graph
  // connected, and 1/ln(m) is not finite.
  PrunedGraph(std::uint32_t m, std::uint32_t layers);

  std::uint32_t m() const { return m_; }
  std::uint32_t capacity(std::uint32_t layer) const { return layer == 0 ? 2 * m_ : m_; }
  // The weights insertion draws levels from: entry j is P(level = j).
  std::span<const double> level_weights() const { return level_weights_; }
  // The highest level a node can take.
  std::uint32_t level_cap() const { return static_cast<std::uint32_t>(level_weights_.size()) - 1; }

  std::size_t size() const { return levels_.size(); }
  std::uint32_t level(Id node) const { return levels_[node]; }
  bool has_entry() const { return has_entry_; }
  Id entry() const { return entry_; }
  std::uint32_t top_level() const { return top_level_; }
  std::span<const Id> neighbors(Id node, std::uint32_t layer) const {
    const Id* row = this->row(node, layer);
    return {row + 1, row[0]};
  }

  // Makes room for the next node, so that add_node cannot fail.
  void reserve_node(std::uint32_t level);
  // Adds the next node, at `level` (at most level_cap()), with empty lists.
  void add_node(std::uint32_t level);
  // Links the last node added into every layer up to its level, with beam
  // ef (at least 1) on each. Distances measure from that node. When it
  // throws (no memory), every other node's lists are as they were, and the
  // node can be taken back with remove_last_node().
  void link(Id node, std::uint32_t ef, const Distances& distances);
  // Drops the last node added, which no other node's list holds.
  void remove_last_node();

  // Rebuilding a saved graph: after add_node() for every node, each list is
  // set (at most capacity(layer) ids, checked by the caller), then the entry;
  // set_entry() also recounts the in-links.
  void set_list(Id node, std::uint32_t layer, std::span<const Id> ids);
  void set_entry(bool has_entry, Id entry);

  // A greedy descent from the entry through the upper layers, then a beam
  // search of layer 0 with beam `ef` (at least 1). With a test, the walk
  // still moves through failing nodes but only passing ones are kept.
  // Returns up to ef nodes in the distance order, ties by smaller id.
  void search(const Distances& distances, std::uint32_t ef, const NodeTest* test,
              std::vector<Scored>* result) const;

  // Bytes held by the lists, levels and row starts.
  std::size_t memory_bytes() const;

 private:
  Id* row(Id node, std::uint32_t layer) {
    return layer == 0 ? &layer0_[std::size_t{node} * (2 * std::size_t{m_} + 1)]
                      : &upper_[upper_start_[node] + (layer - 1) * (std::size_t{m_} + 1)];
  }
  const Id* row(Id node, std::uint32_t layer) const { return const_cast<PrunedGraph*>(this)->row(node, layer); }

  Scored greedy(const Distances& distances, Scored from, std::uint32_t layer) const;
  void search_layer(const Distances& distances, Scored entry, std::uint32_t ef, std::uint32_t layer,
                    const NodeTest* test, std::vector<Scored>* result) const;
  // Keeps up to `keep` of `candidates` (sorted nearest first) by the
  // diversity heuristic, in their order.
  static void select(const Distances& distances, const std::vector<Scored>& candidates, std::uint32_t keep,
                     std::vector<Scored>* kept);
  // A row as it was before an insertion changed it.
  struct SavedRow {
    Id node;
    std::uint32_t layer;
    std::vector<Id> contents;  // count, then the ids
  };
  void add_link(Id node, Id neighbor, std::uint32_t layer, const Distances& distances,
                std::vector<SavedRow>* saved);
  void link_rows(Id node, std::uint32_t ef, const Distances& distances, std::vector<SavedRow>* saved);

  std::uint32_t m_;
  std::vector<double> level_weights_;
  std::vector<std::uint8_t> levels_;
  std::vector<std::uint32_t> in_links_;    // per node: the layer-0 lists that hold it
  std::vector<Id> layer0_;                 // per node: count, then 2m slots
  std::vector<Id> upper_;                  // per node of level > 0: level rows of count, then m slots
  std::vector<std::uint64_t> upper_start_; // per node, its first upper row in upper_
  bool has_entry_ = false;
  Id entry_ = 0;
  std::uint32_t top_level_ = 0;
  std::unique_ptr<VisitedPool> visited_;
};

}  // namespace tamsel
