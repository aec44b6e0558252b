#include "metric/metric.h"

#include <algorithm>

namespace tamsel {

double euclidean_distance(std::span<const double> a, std::span<const double> b) {
  const std::size_t n = std::min(a.size(), b.size());
  double sum = 0.0;
  for (std::size_t i = 0; i < n; ++i) {
    const double diff = a[i] - b[i];
    sum += diff * diff;
  }
  return std::sqrt(sum);
}

double dot_product(std::span<const double> a, std::span<const double> b) {
  const std::size_t n = std::min(a.size(), b.size());
  double sum = 0.0;
  for (std::size_t i = 0; i < n; ++i) sum += a[i] * b[i];
  return sum;
}

double squared_norm(std::span<const double> v) {
  double sum = 0.0;
  for (double x : v) sum += x * x;
  return sum;
}

double cosine_similarity(std::span<const double> a, std::span<const double> b) {
  return cosine_from_parts(dot_product(a, b), squared_norm(a), squared_norm(b));
}

}  // namespace tamsel
