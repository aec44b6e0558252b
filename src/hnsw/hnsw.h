// HNSW: the approximate index over a layered proximity graph.
//
// One adjacency serves every layer: a node belongs to layer i when its level
// is at least i, and the search of layer i follows only edges to such nodes.
// Node 0, the first vector inserted, is the fixed entry point of every
// insertion and query. The parameter `m` is stored but bounds nothing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "metric/metric.h"

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
};

// The weights e^(-j) for j = 0 .. layers - 1 from which levels are drawn.
// Entries from j = 746 on are exactly 0.0 in double precision and change no
// draw, so the table stops at the first zero entry: its size is at most 746
// whatever `layers` is.
std::vector<double> make_level_weights(std::uint32_t layers);

class HNSW {
 public:
  explicit HNSW(HNSWConfig config);

  std::uint32_t dim() const { return config_.dim; }
  std::uint32_t layers() const { return config_.layers; }
  std::uint32_t m() const { return config_.m; }
  std::uint32_t ef_construction() const { return config_.ef_construction; }
  std::uint32_t ef_search() const { return config_.ef_search; }
  MetricFn metric() const { return config_.metric; }
  const std::optional<std::vector<std::string>>& schema() const { return config_.schema; }
  const std::vector<double>& level_weights() const { return level_weights_; }

 private:
  HNSWConfig config_;
  std::vector<double> level_weights_;
};

}  // namespace tamsel
