#include <gtest/gtest.h>

#include <algorithm>
#include <tuple>

#include "metric/metric.h"
#include "test_util.h"

namespace tamsel {
namespace {

using testing::kInf;
using testing::kNaN;
using testing::same_double;

// The sequential definitions, written as plainly as possible. The build
// forbids contraction, so these round every product before adding it.
double plain_euclidean(const std::vector<double>& a, const std::vector<double>& b) {
  double sum = 0.0;
  for (std::size_t i = 0; i < std::min(a.size(), b.size()); ++i) {
    double diff = a[i] - b[i];
    double square = diff * diff;
    sum = sum + square;
  }
  return std::sqrt(sum);
}

double plain_dot(const std::vector<double>& a, const std::vector<double>& b) {
  double sum = 0.0;
  for (std::size_t i = 0; i < std::min(a.size(), b.size()); ++i) {
    double product = a[i] * b[i];
    sum = sum + product;
  }
  return sum;
}

double plain_cosine(const std::vector<double>& a, const std::vector<double>& b) {
  double norm_a = 0.0, norm_b = 0.0;
  for (double x : a) norm_a = norm_a + x * x;
  for (double x : b) norm_b = norm_b + x * x;
  return plain_dot(a, b) / (std::sqrt(norm_a) * std::sqrt(norm_b));
}

using Case = std::tuple<std::vector<double>, std::vector<double>>;

class MetricAgainstDefinition : public ::testing::TestWithParam<Case> {};

TEST_P(MetricAgainstDefinition, IsBitExact) {
  const auto& [a, b] = GetParam();
  EXPECT_TRUE(same_double(euclidean_distance(a, b), plain_euclidean(a, b)));
  EXPECT_TRUE(same_double(dot_product(a, b), plain_dot(a, b)));
  EXPECT_TRUE(same_double(cosine_similarity(a, b), plain_cosine(a, b)));
}

INSTANTIATE_TEST_SUITE_P(
    EdgeCases, MetricAgainstDefinition,
    ::testing::Values(Case{{}, {}}, Case{{1.0, 2.0, 3.0}, {}}, Case{{}, {1.0, 2.0}},
                      Case{{1.0, 2.0, 3.0}, {4.0, 5.0}}, Case{{0.0, 0.0}, {0.0, 0.0}}, Case{{0.0, 0.0}, {1.0, 1.0}},
                      Case{{-0.0, 0.0}, {0.0, -0.0}}, Case{{kNaN, 1.0}, {1.0, 1.0}}, Case{{kInf, 1.0}, {kInf, 1.0}},
                      Case{{kInf, 0.0}, {-kInf, 0.0}}, Case{{1e300, 1e300}, {-1e300, 1e300}},
                      Case{{0.1, 0.2, 0.3}, {0.3, 0.2, 0.1}}));

TEST(Metric, RandomVectorsAreBitExact) {
  std::mt19937_64 rng(7);
  std::uniform_real_distribution<double> uniform(-10.0, 10.0);
  for (int round = 0; round < 500; ++round) {
    std::vector<double> a(rng() % 40), b(rng() % 40);
    for (double& x : a) x = uniform(rng);
    for (double& x : b) x = uniform(rng);
    ASSERT_TRUE(same_double(euclidean_distance(a, b), plain_euclidean(a, b)));
    ASSERT_TRUE(same_double(dot_product(a, b), plain_dot(a, b)));
    ASSERT_TRUE(same_double(cosine_similarity(a, b), plain_cosine(a, b)));
  }
}

TEST(Metric, DocumentedValues) {
  EXPECT_EQ(euclidean_distance({}, {}), 0.0);
  EXPECT_EQ(dot_product({}, {}), 0.0);
  EXPECT_TRUE(std::isnan(cosine_similarity({}, {})));
  EXPECT_EQ(euclidean_distance(std::vector<double>{3.0, 4.0}, std::vector<double>{0.0, 0.0}), 5.0);
  EXPECT_EQ(euclidean_distance(std::vector<double>{1.5, -2.0}, std::vector<double>{1.5, -2.0}), 0.0);
  EXPECT_TRUE(std::isnan(cosine_similarity(std::vector<double>{0.0, 0.0}, std::vector<double>{1.0, 0.0})));
  // The query's extra components count in its norm only.
  EXPECT_EQ(euclidean_distance(std::vector<double>{1.0, 0.0, 9.0}, std::vector<double>{1.0, 0.0}), 0.0);
  EXPECT_EQ(dot_product(std::vector<double>{1.0, 2.0, 9.0}, std::vector<double>{1.0, 2.0}), 5.0);
  EXPECT_EQ(cosine_similarity(std::vector<double>{3.0, 0.0, 4.0}, std::vector<double>{1.0, 0.0}), 0.6);
  // Angular: away, orthogonal, same direction.
  const std::vector<double> query = {1.0, 0.0};
  EXPECT_EQ(cosine_similarity(query, std::vector<double>{-1.0, 0.0}), -1.0);
  EXPECT_EQ(cosine_similarity(query, std::vector<double>{0.0, 1.0}), 0.0);
  EXPECT_EQ(cosine_similarity(query, std::vector<double>{1.0, 0.0}), 1.0);
}

TEST(DistanceOrder, NumbersThenNaN) {
  EXPECT_TRUE(ranks_before(-kInf, -1.0));
  EXPECT_TRUE(ranks_before(1.0, kInf));
  EXPECT_TRUE(ranks_before(kInf, kNaN));
  EXPECT_TRUE(ranks_before(-1e308, kNaN));
  EXPECT_FALSE(ranks_before(kNaN, kNaN));
  EXPECT_FALSE(ranks_before(kNaN, 0.0));
  EXPECT_FALSE(ranks_before(-0.0, 0.0));
  EXPECT_FALSE(ranks_before(0.0, -0.0));
  EXPECT_TRUE(ranks_equal(-0.0, 0.0));
  EXPECT_TRUE(ranks_equal(kNaN, kNaN));
  EXPECT_FALSE(ranks_equal(kNaN, 1.0));
}

TEST(DistanceOrder, PairsBreakTiesBySmallerIdentifier) {
  EXPECT_TRUE(pair_ranks_before<std::size_t>(1.0, 5, 1.0, 6));
  EXPECT_FALSE(pair_ranks_before<std::size_t>(1.0, 6, 1.0, 5));
  EXPECT_TRUE(pair_ranks_before<std::size_t>(-0.0, 3, 0.0, 4));
  EXPECT_TRUE(pair_ranks_before<std::size_t>(0.0, 3, -0.0, 4));
  EXPECT_TRUE(pair_ranks_before<std::size_t>(kNaN, 1, kNaN, 2));
  EXPECT_TRUE(pair_ranks_before<std::size_t>(kInf, 9, kNaN, 0));
  EXPECT_FALSE(pair_ranks_before<std::size_t>(2.0, 1, 2.0, 1));
}

}  // namespace
}  // namespace tamsel
