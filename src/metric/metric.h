// The three metric functions shared by both indexes, and the distance order
// in which their values are ranked everywhere.
//
// Each function compares a query `a` with a stored vector `b` over their
// common prefix; sums start at +0.0 and add their terms in index order, each
// product rounded before it is added. The build disables floating-point
// contraction so that no multiply-add is fused: the values are bit-exact to
// the sequential definitions. The functions keep no state, allocate nothing
// and cannot fail; NaN and infinities propagate by IEEE 754 rules.
#pragma once

#include <cmath>
#include <cstddef>
#include <span>

namespace tamsel {

using MetricFn = double (*)(std::span<const double> a, std::span<const double> b);

// The Euclidean distance: the square root of the sum of squared differences.
double euclidean_distance(std::span<const double> a, std::span<const double> b);

// The inner product, not negated.
double dot_product(std::span<const double> a, std::span<const double> b);

// D / (sqrt(A) * sqrt(B)): D is the inner product over the common prefix,
// A and B the squared norms of the whole of `a` and of `b`. Not clamped;
// a zero norm gives NaN or an infinity as IEEE 754 says.
double cosine_similarity(std::span<const double> a, std::span<const double> b);

// The metric functions that have batched kernels, and every other function.
enum class MetricKind { Euclidean, Dot, Cosine, Other };

inline MetricKind metric_kind(MetricFn metric) {
  if (metric == euclidean_distance) return MetricKind::Euclidean;
  if (metric == dot_product) return MetricKind::Dot;
  if (metric == cosine_similarity) return MetricKind::Cosine;
  return MetricKind::Other;
}

// The sum of squares of a whole vector, as cosine_similarity forms its norms.
double squared_norm(std::span<const double> v);

// cosine_similarity from its parts: the inner product over the common prefix
// and the two squared norms.
inline double cosine_from_parts(double dot, double query_squared_norm, double stored_squared_norm) {
  return dot / (std::sqrt(query_squared_norm) * std::sqrt(stored_squared_norm));
}

// The distance order: numbers by value (-0.0 equals +0.0), NaN after every
// number and equal to NaN. A smaller value always ranks first.
inline bool ranks_before(double x, double y) {
  if (std::isnan(x)) return false;
  if (std::isnan(y)) return true;
  return x < y;
}

inline bool ranks_equal(double x, double y) { return x == y || (std::isnan(x) && std::isnan(y)); }

// The distance order on (value, identifier) pairs: equal values rank by the
// smaller identifier. Total, since identifiers are distinct.
template <class Id>
inline bool pair_ranks_before(double x, Id x_id, double y, Id y_id) {
  if (ranks_before(x, y)) return true;
  if (ranks_before(y, x)) return false;
  return x_id < y_id;
}

}  // namespace tamsel
