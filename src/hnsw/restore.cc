// HNSW::restore: an index rebuilt from a saved image, checked before it is
// built so that no image, however damaged, can break an invariant that the
// searches rely on for memory safety.
#include <algorithm>
#include <limits>

#include "hnsw/hnsw.h"

#include "metric/kernels.h"

namespace tamsel {

namespace {

constexpr NodeId32 kNoNode = std::numeric_limits<NodeId32>::max();

// What insertion can have drawn: node 0 sits on the top layer, every other
// node on one of the layers; with no layers at all every level wraps to the
// largest value.
bool level_possible(std::uint32_t layers, std::size_t node, std::uint32_t level) {
  if (layers == 0) return level == std::numeric_limits<std::uint32_t>::max();
  return node == 0 ? level == layers - 1 : level < layers;
}

// The pruned graph's lists: the levels insertion can draw, lists no longer
// than their layer allows, of stored nodes on that layer, never the node
// itself, each neighbour once, adding up to the rows; an entry that is a
// stored node, or none.
Status<RestoreError> check_pruned(const HNSWImage& image) {
  const std::size_t nodes = image.levels.size();
  const PrunedGraph shape(image.config.m, image.config.layers);
  const std::uint32_t top = image.config.layers == 0 ? 0 : std::min(image.config.layers - 1, shape.level_cap());
  std::vector<std::size_t> seen_in(nodes, static_cast<std::size_t>(-1));
  std::size_t start = 0;
  std::size_t list = 0;
  for (std::size_t v = 0; v < nodes; ++v) {
    if (image.levels[v] > top) return RestoreError{"node level out of range"};
    std::size_t row_length = 0;
    for (std::uint32_t layer = 0; layer <= image.levels[v]; ++layer, ++list) {
      if (list >= image.list_lengths.size()) return RestoreError{"list lengths do not match the levels"};
      const std::size_t length = image.list_lengths[list];
      if (length > shape.capacity(layer)) return RestoreError{"neighbour list longer than its layer allows"};
      if (length > image.neighbors.size() - start) return RestoreError{"neighbour rows longer than the neighbour table"};
      for (std::size_t i = start; i < start + length; ++i) {
        const NodeId32 n = image.neighbors[i];
        if (n >= nodes) return RestoreError{"neighbour identifier out of range"};
        if (n == v) return RestoreError{"node lists itself as a neighbour"};
        if (image.levels[n] < layer) return RestoreError{"neighbour below the layer of its list"};
        if (seen_in[n] == list) return RestoreError{"neighbour listed twice in one row"};
        seen_in[n] = list;
      }
      start += length;
      row_length += length;
    }
    if (row_length != image.row_lengths[v]) return RestoreError{"list lengths do not match the rows"};
  }
  if (list != image.list_lengths.size()) return RestoreError{"list lengths do not match the levels"};
  if (start != image.neighbors.size()) return RestoreError{"neighbour table longer than its rows"};
  if (image.entry != 0xFFFFFFFFu && image.entry >= nodes) return RestoreError{"entry node out of range"};
  return Status<RestoreError>::Ok();
}

Status<RestoreError> check(const HNSWImage& image) {
  const std::size_t nodes = image.levels.size();
  const std::size_t schema_size = image.config.schema ? image.config.schema->size() : 0;
  if (nodes >= kNoNode) return RestoreError{"more nodes than an index can hold"};
  if (image.vectors.size() != nodes * std::size_t{image.config.dim}) {
    return RestoreError{"vector count does not match node count"};
  }
  if (image.has_row.size() != nodes || image.row_lengths.size() != nodes || image.has_record.size() != nodes) {
    return RestoreError{"per-node table lengths disagree"};
  }
  std::size_t records = 0;
  for (std::size_t v = 0; v < nodes; ++v) {
    if (!image.config.prune && !level_possible(image.config.layers, v, image.levels[v])) {
      return RestoreError{"node level out of range"};
    }
    if (image.has_row[v] > 1 || image.has_record[v] > 1) return RestoreError{"unknown node flags"};
    records += image.has_record[v];
  }
  if (records > 0 && !image.config.schema) return RestoreError{"metadata record in an index without a schema"};
  if (schema_size != 0 && image.values.size() / schema_size != records) {
    return RestoreError{"metadata value count does not match the records"};
  }
  if (schema_size == 0 && !image.values.empty()) return RestoreError{"metadata value count does not match the records"};
  if (image.config.prune) return check_pruned(image);
  // Rows: stored nodes only, never the node itself, each neighbour once.
  std::vector<NodeId32> seen_in(nodes, kNoNode);
  std::size_t start = 0;
  for (std::size_t v = 0; v < nodes; ++v) {
    const std::size_t length = image.row_lengths[v];
    if (length > image.neighbors.size() - start) return RestoreError{"neighbour rows longer than the neighbour table"};
    for (std::size_t i = start; i < start + length; ++i) {
      const NodeId32 n = image.neighbors[i];
      if (n >= nodes) return RestoreError{"neighbour identifier out of range"};
      if (n == v) return RestoreError{"node lists itself as a neighbour"};
      if (seen_in[n] == v) return RestoreError{"neighbour listed twice in one row"};
      seen_in[n] = static_cast<NodeId32>(v);
    }
    start += length;
  }
  if (start != image.neighbors.size()) return RestoreError{"neighbour table longer than its rows"};
  return Status<RestoreError>::Ok();
}

}  // namespace

Status<RestoreError> HNSW::restore(HNSWImage image, std::optional<HNSW>* index) {
  if (Status<RestoreError> status = check(image); !status.ok()) return status;
  const std::size_t nodes = image.levels.size();
  const std::size_t schema_size = image.config.schema ? image.config.schema->size() : 0;
  HNSW& built = index->emplace(std::move(image.config));
  built.vectors_ = std::move(image.vectors);
  if (built.kind_ == MetricKind::Euclidean) {
    built.rounded_.reserve(built.vectors_.size());
    for (const double x : built.vectors_) built.rounded_.push_back(rounded_component(x));
  }
  if (built.kind_ == MetricKind::Cosine) {
    built.norms_.reserve(nodes);
    for (std::size_t v = 0; v < nodes; ++v) built.norms_.push_back(squared_norm(built.vector(v)));
  }
  built.levels_ = std::move(image.levels);
  built.has_row_.assign(image.has_row.begin(), image.has_row.end());
  // No link tag may name a node that is yet to come.
  if (!built.pruned_) {
    built.backlinked_.assign(nodes, kNoNode);
    built.listed_.assign(nodes, kNoNode);
  }
  built.node_count_ = nodes;
  built.refit_screen_if_due();
  for (std::size_t v = 1; v < nodes; ++v) {
    const std::uint32_t level = built.levels_[v];
    built.highest_other_level_ = std::max(built.highest_other_level_, level);
    if (built.level_tally_.size() <= tally_slot(level)) built.level_tally_.resize(tally_slot(level) + 1, 0);
    ++built.level_tally_[tally_slot(level)];
  }
  auto value = std::make_move_iterator(image.values.begin());
  for (std::size_t v = 0; v < nodes; ++v) {
    if (image.has_record[v]) {
      std::vector<Metadata> record(value, value + static_cast<std::ptrdiff_t>(schema_size));
      if (built.pruned_) built.postings_.add(static_cast<NodeId32>(v), record);
      built.metadata_.append_record(std::move(record));
      value += static_cast<std::ptrdiff_t>(schema_size);
    } else {
      built.metadata_.append_without_record();
    }
  }
  if (built.pruned_) {
    PrunedGraph& graph = *built.pruned_;
    std::size_t start = 0;
    std::size_t list = 0;
    for (std::size_t v = 0; v < nodes; ++v) {
      graph.reserve_node(built.levels_[v]);
      graph.add_node(built.levels_[v]);
      for (std::uint32_t layer = 0; layer <= built.levels_[v]; ++layer, ++list) {
        const std::size_t length = image.list_lengths[list];
        graph.set_list(static_cast<NodeId32>(v), layer,
                       std::span<const NodeId32>(image.neighbors.data() + start, length));
        start += length;
      }
    }
    graph.set_entry(image.entry != 0xFFFFFFFFu, image.entry);
    return Status<RestoreError>::Ok();
  }
  for (std::size_t v = 0; v < nodes; ++v) {
    const std::uint32_t top_list = top_list_layer(built.config_.layers, built.levels_[v]);
    built.graph_.reserve_node(top_list);
    built.graph_.add_node(top_list);
  }
  // Appending each row in order makes every layer's list what insertion made.
  std::size_t start = 0;
  for (std::size_t v = 0; v < nodes; ++v) {
    for (std::size_t i = start; i < start + image.row_lengths[v]; ++i) {
      const NodeId32 n = image.neighbors[i];
      built.graph_.append(static_cast<NodeId32>(v), n, built.levels_[n]);
    }
    start += image.row_lengths[v];
  }
  return Status<RestoreError>::Ok();
}

}  // namespace tamsel
