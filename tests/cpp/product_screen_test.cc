#include <gtest/gtest.h>
#include <xmmintrin.h>

#include "metric/kernels.h"
#include "metric/metric.h"
#include "metric/product_screen.h"
#include "test_util.h"

namespace tamsel {
namespace {

using testing::kInf;
using testing::kNaN;
using testing::same_double;

class ProductScreen : public ::testing::TestWithParam<const ProductScreenKernels*> {};

// Vectors of one of three kinds: values from a small set with NaN and
// infinities mixed in; Gaussian at a magnitude from float-subnormal to past
// float overflow; or close together far from the origin, where the float
// products cancel and only the slack keeps the screen right.
std::vector<std::vector<double>> make_vectors(std::mt19937_64& rng, std::size_t count, std::size_t dim, int kind,
                                              const std::vector<double>& centre, double scale) {
  if (kind == 0) return testing::awkward_vectors(rng, count, dim, true);
  std::normal_distribution<double> normal;
  std::vector<std::vector<double>> vectors(count, std::vector<double>(dim));
  for (auto& v : vectors) {
    for (std::size_t i = 0; i < dim; ++i) v[i] = kind == 1 ? normal(rng) * scale : centre[i] + normal(rng) * scale;
  }
  return vectors;
}

// Every fourth round runs with the processor flushing subnormal results to
// zero and reading subnormal operands as zero, as some libraries set it for
// the whole process.
struct FlushModeFor {
  unsigned saved = _mm_getcsr();
  explicit FlushModeFor(bool on) {
    if (on) _mm_setcsr(saved | 0x8040);
  }
  ~FlushModeFor() { _mm_setcsr(saved); }
};

// Each kernel against the plain evaluation of its definition, bit for bit,
// and every lane it rules out holds a distance >= the bound (or NaN).
TEST_P(ProductScreen, MatchesItsDefinitionAndRulesOutOnlyLanesPastTheBound) {
  const ProductScreenKernels& kernels = *GetParam();
  std::mt19937_64 rng(13);
  std::normal_distribution<double> normal;
  int ruled_out = 0, ruled_out_close = 0;
  for (int round = 0; round < 1200; ++round) {
    const FlushModeFor flush(round % 4 == 3);
    const std::size_t dim = round % 10 == 0 ? 100 + rng() % 60 : rng() % 40;
    const std::size_t capacity = 1 + rng() % 12, first = rng() % capacity, count = 1 + rng() % (capacity - first);
    const std::size_t query_count = rng() % 14;
    const int kind = static_cast<int>(round % 3);
    const double scales[] = {1.0, 1e-42, 1e-20, 1e20, 3e17, 1e39};
    const double scale = kind == 2 ? std::vector<double>{1e-1, 1e-2, 1e-4}[rng() % 3] : scales[rng() % 6];
    std::vector<double> centre(dim);
    for (double& c : centre) c = normal(rng) * std::vector<double>{1.0, 100.0, 1e-30, 1e30}[round / 3 % 4];
    const auto stored = make_vectors(rng, capacity * kLanes, dim, kind, centre, scale);
    const auto queries = make_vectors(rng, query_count, dim, kind, centre, scale);
    std::vector<float> group(capacity * kLanes * dim);
    for (std::size_t b = 0; b < capacity; ++b) {
      for (std::size_t i = 0; i < dim; ++i) {
        for (std::size_t l = 0; l < kLanes; ++l) {
          group[slabbed_offset(dim, capacity, b, i) + l] = rounded_component(stored[b * kLanes + l][i]);
        }
      }
    }
    std::vector<std::vector<float>> rounded(query_count, std::vector<float>(dim));
    std::vector<const float*> pointers;
    std::vector<double> thresholds, bounds;
    for (std::size_t j = 0; j < query_count; ++j) {
      const double norm = round_screened_query(queries[j], rounded[j].data());
      pointers.push_back(rounded[j].data());
      // The bound is often some lane's distance, or a neighbour of it.
      const double exact = euclidean_distance(queries[j], stored[(first + rng() % count) * kLanes + rng() % kLanes]);
      const double choices[] = {exact, std::nextafter(exact, 0.0), std::nextafter(exact, kInf), exact * 1.001,
                                0.0, kInf, kNaN, exact * 0.999};
      bounds.push_back(choices[rng() % 8]);
      thresholds.push_back(screen_threshold(dim, norm, bounds.back()));
    }
    std::vector<double> weights(count * kLanes);
    std::vector<std::uint8_t> keep(query_count * count);
    kernels.weights(dim, group.data(), capacity, first, count, weights.data());
    kernels.screen(pointers.data(), thresholds.data(), query_count, dim, group.data(), capacity, first, count,
                   weights.data(), keep.data());
    for (std::size_t b = 0; b < count; ++b) {
      for (std::size_t l = 0; l < kLanes; ++l) {
        std::vector<float> x(dim);
        for (std::size_t i = 0; i < dim; ++i) x[i] = group[slabbed_offset(dim, capacity, first + b, i) + l];
        double squared_norm = 0.0;
        for (const double v : x) squared_norm += v * v;
        const double w = screen_weight(dim, squared_norm);
        ASSERT_TRUE(same_double(weights[b * kLanes + l], w)) << "round " << round;
        for (std::size_t j = 0; j < query_count; ++j) {
          float p = 0.0f;
          for (std::size_t i = 0; i < dim; ++i) p += rounded[j][i] * x[i];
          const bool out = w - 2.0 * static_cast<double>(p) >= thresholds[j];
          ASSERT_EQ((keep[j * count + b] >> l & 1) == 0, out) << "round " << round << " query " << j;
          if (!out) continue;
          const double exact = euclidean_distance(queries[j], stored[(first + b) * kLanes + l]);
          ASSERT_TRUE(std::isnan(exact) || exact >= bounds[j])
              << "round " << round << ": ruled out at " << exact << " < bound " << bounds[j];
          ++ruled_out;
          ruled_out_close += exact < bounds[j] * 1.01;
        }
      }
    }
  }
  EXPECT_GT(ruled_out, 2000);
  EXPECT_GT(ruled_out_close, 100);  // near ties, where the slack decides
}

INSTANTIATE_TEST_SUITE_P(Supported, ProductScreen,
                         ::testing::ValuesIn(supported_product_screen_kernels().begin(),
                                             supported_product_screen_kernels().end()),
                         [](const auto& info) { return std::string(info.param->name); });

}  // namespace
}  // namespace tamsel
