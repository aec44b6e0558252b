// Helpers shared by the core tests.
#pragma once

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

namespace tamsel::testing {

inline constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
inline constexpr double kInf = std::numeric_limits<double>::infinity();

// Bit equality, except that any NaN equals any NaN.
inline bool same_double(double x, double y) {
  if (std::isnan(x) || std::isnan(y)) return std::isnan(x) && std::isnan(y);
  return std::bit_cast<std::uint64_t>(x) == std::bit_cast<std::uint64_t>(y);
}

// Random vectors whose components are drawn from a small set of values, so
// that ties and repeats are common, with special values mixed in on request.
inline std::vector<std::vector<double>> awkward_vectors(std::mt19937_64& rng, std::size_t count, std::size_t dim,
                                                        bool specials) {
  const std::vector<double> plain = {0.0, -0.0, 1.0, -1.0, 0.5, 2.0, 3.0, -2.5, 1e-300, 1e300};
  const std::vector<double> special = {kNaN, kInf, -kInf};
  std::vector<std::vector<double>> vectors(count, std::vector<double>(dim));
  for (auto& vector : vectors) {
    for (double& value : vector) {
      if (specials && rng() % 16 == 0) {
        value = special[rng() % special.size()];
      } else {
        value = plain[rng() % plain.size()];
      }
    }
  }
  return vectors;
}

}  // namespace tamsel::testing
