// ReferenceHNSW: the graph index done the plain way, each documented step
// as written: one row per node that keeps every identifier ever linked to
// it (repeats and self-links included), a hash set for visited nodes, every
// distance computed before the visited test, every layer searched. It is
// slow on purpose; the tests hold the real engine to its results.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "hnsw/hnsw.h"

namespace tamsel {

class ReferenceHNSW {
 public:
  explicit ReferenceHNSW(HNSWConfig config);

  std::uint32_t dim() const { return config_.dim; }
  std::uint32_t layers() const { return config_.layers; }
  std::uint32_t m() const { return config_.m; }
  std::uint32_t ef_construction() const { return config_.ef_construction; }
  std::uint32_t ef_search() const { return config_.ef_search; }
  MetricFn metric() const { return config_.metric; }
  const std::optional<std::vector<std::string>>& schema() const { return config_.schema; }
  const std::vector<double>& level_weights() const { return level_weights_; }

  std::size_t size() const { return node_count_; }
  std::span<const double> vector(NodeId node) const {
    return {vectors_.data() + node * config_.dim, config_.dim};
  }
  std::uint32_t level(NodeId node) const { return levels_[node]; }
  bool has_row(NodeId node) const { return node < has_row_.size() && has_row_[node]; }
  // The node's neighbour list: every identifier ever linked to it, in the
  // order linked, repeats and its own identifier included.
  std::span<const NodeId> row(NodeId node) const { return rows_[node]; }
  // Bytes the rows would take in the documented layout: one array of
  // machine-word identifiers and one of row starts.
  std::size_t literal_graph_bytes() const {
    std::size_t entries = 0;
    for (const auto& row : rows_) entries += row.size();
    return (entries + rows_.size()) * sizeof(NodeId);
  }

  // Adds one vector, with its metadata record of schema-size values when
  // `record` is given, and links it into the graph. The first node takes the
  // level layers - 1 and is not linked; every later one takes its level from
  // `levels`. What was stored before an error stays stored.
  Status<HNSWError> insert(std::span<const double> vector, std::optional<std::vector<Metadata>> record,
                           LevelSource& levels);

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
  Status<HNSWError> search(std::span<const double> query, std::uint32_t k, const Filter* filter,
                           std::vector<Neighbor>* result) const;

 private:
  // Whether `node` passes the filter whose attribute sits at `position` in
  // the schema. A node stored without a record passes no filter.
  bool passes(const Filter& filter, std::size_t position, NodeId node) const {
    const Metadata* value = metadata_.value(node, position);
    return value != nullptr && filter.passes(*value);
  }

  // Appends the node's values, level and record (or its lack).
  NodeId store(std::span<const double> vector, std::uint32_t level, std::optional<std::vector<Metadata>> record);

  HNSWConfig config_;
  std::vector<double> level_weights_;
  std::size_t node_count_ = 0;
  std::vector<double> vectors_;
  std::vector<std::uint32_t> levels_;
  std::vector<std::vector<NodeId>> rows_;
  std::vector<bool> has_row_;
  MetadataStore metadata_;
};

}  // namespace tamsel
