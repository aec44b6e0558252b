// Flat: the exhaustive index. It keeps vectors of one fixed dimension back to
// back in a single array and answers a query by scoring it against every
// stored vector, so its answers are exact and repeatable.
//
// A vector's identifier is its position in insertion order, from 0. Callers
// guarantee that every vector and query they pass has exactly `dim` values;
// the Python layer checks that before calling in.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "common/status.h"
#include "common/vector_batch.h"
#include "metric/metric.h"

namespace tamsel {

enum class FlatError { EmptyIndex, EmptyVectors };

// The text form of a variant: its name, e.g. "EmptyIndex".
const char* flat_error_name(FlatError error);

struct FlatHit {
  std::size_t id;
  double value;
};

class Flat {
 public:
  Flat(std::size_t dim, MetricFn metric) : metric_(metric), dim_(dim) {}

  std::size_t dim() const { return dim_; }
  MetricFn metric() const { return metric_; }
  // The number of stored vectors; always 0 when `dim` is 0, since empty
  // vectors add no values.
  std::size_t size() const { return dim_ == 0 ? 0 : vectors_.size() / dim_; }
  std::span<const double> vector(std::size_t id) const { return {vectors_.data() + id * dim_, dim_}; }

  // Appends one vector of exactly `dim` values.
  void insert(std::span<const double> values);

  // Appends every vector of the batch in order; EmptyVectors for an empty
  // batch, which leaves the index unchanged.
  Status<FlatError> create(const VectorBatch& batch);

  // The max(k, 1) best (identifier, value) pairs in the distance order on
  // pairs, or all of them when fewer are stored; EmptyIndex when nothing is
  // stored. The query is the metric's first argument.
  Status<FlatError> search(std::span<const double> query, std::uint32_t k, std::vector<FlatHit>* hits) const;

 private:
  std::vector<double> vectors_;
  MetricFn metric_;
  std::size_t dim_;
};

}  // namespace tamsel
