// Const members run concurrently: several threads searching one index get
// what one thread searching alone gets. Worth running under a thread
// sanitizer.
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <utility>
#include <thread>
#include <vector>

#include "common/checkpoint.h"
#include "flat/flat.h"
#include "flat/flat_batch.h"
#include "hnsw/hnsw.h"
#include "test_util.h"

namespace tamsel {
namespace {

using testing::awkward_vectors;
using testing::same_double;

TEST(Concurrency, HNSWSearchesFromSeveralThreadsMatchOneThread) {
  std::mt19937_64 rng(7);
  HNSWConfig config;
  config.dim = 12;
  config.ef_search = 16;
  HNSW index(config);
  ThreadRandomLevels levels;
  for (const auto& vector : awkward_vectors(rng, 400, 12, true)) ASSERT_TRUE(index.insert(vector, std::nullopt, levels).ok());
  const auto queries = awkward_vectors(rng, 64, 12, true);
  std::vector<std::vector<Neighbor>> alone(queries.size()), together(queries.size());
  for (std::size_t i = 0; i < queries.size(); ++i) ASSERT_TRUE(index.search(queries[i], 5, nullptr, &alone[i]).ok());
  std::vector<std::thread> threads;
  for (std::size_t t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (std::size_t i = t; i < queries.size(); i += 4) (void)index.search(queries[i], 5, nullptr, &together[i]);
    });
  }
  for (std::thread& thread : threads) thread.join();
  for (std::size_t i = 0; i < queries.size(); ++i) {
    ASSERT_EQ(together[i].size(), alone[i].size());
    for (std::size_t j = 0; j < alone[i].size(); ++j) {
      EXPECT_EQ(together[i][j].id, alone[i][j].id);
      EXPECT_TRUE(same_double(together[i][j].distance, alone[i][j].distance));
    }
  }
}

// The data of a batch test: values from a small set (ties, NaN,
// infinities); Gaussian, where the product screen rules most blocks out;
// Gaussian far from the origin, where it can rule out nothing and pauses; or
// on a thin shell around the origin, where the queries are, so that many
// distances differ from the bound by less than the screen's rounding errors.
enum class Data { Awkward, Gaussian, Far, Shell };

std::vector<std::vector<double>> batch_vectors(std::mt19937_64& rng, std::size_t count, Data data, bool queries) {
  if (data == Data::Awkward) return awkward_vectors(rng, count, 40, true);
  std::normal_distribution<double> normal;
  std::vector<std::vector<double>> vectors(count, std::vector<double>(40));
  for (auto& v : vectors) {
    for (double& x : v) x = normal(rng) + (data == Data::Far ? 1e4 : 0.0);
    if (data != Data::Shell) continue;
    const double norm = std::sqrt(squared_norm(v));
    const double radius = queries ? 1e-9 : 1.0 + 3e-9 * normal(rng);
    for (double& x : v) x *= radius / norm;
  }
  return vectors;
}

TEST(Concurrency, FlatBatchMatchesSearchOnEveryThreadCount) {
  std::mt19937_64 rng(11);
  for (const auto& [metric, data] : std::vector<std::pair<MetricFn, Data>>{{euclidean_distance, Data::Awkward},
                                                                          {euclidean_distance, Data::Gaussian},
                                                                          {euclidean_distance, Data::Far},
                                                                          {euclidean_distance, Data::Shell},
                                                                          {dot_product, Data::Awkward},
                                                                          {cosine_similarity, Data::Awkward}}) {
    Flat flat(40, metric);
    for (const auto& vector : batch_vectors(rng, 1003, data, false)) flat.insert(vector);
    VectorBatch queries;
    for (const auto& query : batch_vectors(rng, 50, data, true)) {
      for (double value : query) queries.push_value(value);
      queries.end_row();
    }
    NoCheckpoint never;
    bool completed = false;
    std::vector<std::vector<FlatHit>> none(1);
    ASSERT_TRUE(search_batch(flat, VectorBatch(), 3, 2, never, &none, &completed).ok());  // an empty batch
    EXPECT_TRUE(completed && none.empty());
    for (std::uint32_t k : {1u, 9u, 5000u}) {
      for (std::size_t threads : {1u, 3u}) {
        NoCheckpoint never;
        bool completed = false;
        std::vector<std::vector<FlatHit>> answers;
        ASSERT_TRUE(search_batch(flat, queries, k, threads, never, &answers, &completed).ok());
        ASSERT_TRUE(completed);
        for (std::size_t i = 0; i < queries.size(); ++i) {
          std::vector<FlatHit> expected;
          ASSERT_TRUE(flat.search(queries[i], k, &expected).ok());
          ASSERT_EQ(answers[i].size(), expected.size());
          for (std::size_t j = 0; j < expected.size(); ++j) {
            EXPECT_EQ(answers[i][j].id, expected[j].id);
            EXPECT_TRUE(same_double(answers[i][j].value, expected[j].value));
          }
        }
      }
    }
  }
}

}  // namespace
}  // namespace tamsel
