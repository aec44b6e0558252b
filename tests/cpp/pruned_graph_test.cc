// The pruned graph: list bounds per layer, reachability from the entry,
// levels and their distribution, and searches from several threads.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <deque>
#include <random>
#include <thread>
#include <vector>

#include "hnsw/hnsw.h"

namespace tamsel {
namespace {

// Levels drawn from a seeded generator, so a failure can be replayed.
class SeededLevels final : public LevelSource {
 public:
  explicit SeededLevels(unsigned seed) : rng_(seed) {}
  std::uint32_t next_level(std::span<const double> weights, std::uint32_t layers) override {
    return draw_level(weights, layers, std::uniform_real_distribution<double>(0.0, 1.0)(rng_));
  }

 private:
  std::mt19937_64 rng_;
};

class FixedLevel final : public LevelSource {
 public:
  explicit FixedLevel(std::uint32_t level) : level_(level) {}
  std::uint32_t next_level(std::span<const double>, std::uint32_t) override { return level_; }

 private:
  std::uint32_t level_;
};

HNSWConfig pruned_config(std::uint32_t dim, std::uint32_t m, std::uint32_t layers = 5) {
  HNSWConfig c;
  c.dim = dim;
  c.m = m;
  c.layers = layers;
  c.ef_construction = 64;
  c.ef_search = 32;
  c.prune = true;
  return c;
}

// Points around a few centres, or uniform when `clusters` is 0.
std::vector<std::vector<double>> points(std::size_t n, std::size_t dim, std::size_t clusters, unsigned seed) {
  std::mt19937_64 rng(seed);
  std::normal_distribution<double> noise(0.0, clusters == 0 ? 1.0 : 0.05);
  std::uniform_real_distribution<double> uniform(-1.0, 1.0);
  std::vector<std::vector<double>> centres(std::max<std::size_t>(clusters, 1), std::vector<double>(dim, 0.0));
  for (auto& c : centres) {
    for (double& x : c) x = clusters == 0 ? 0.0 : uniform(rng);
  }
  std::vector<std::vector<double>> out(n, std::vector<double>(dim));
  for (std::size_t i = 0; i < n; ++i) {
    const auto& c = centres[i % centres.size()];
    for (std::size_t j = 0; j < dim; ++j) out[i][j] = c[j] + noise(rng);
  }
  return out;
}

class PrunedGraphInvariants : public ::testing::TestWithParam<std::tuple<std::uint32_t, std::size_t>> {};

TEST_P(PrunedGraphInvariants, BoundsReachabilityAndEntry) {
  const auto [m, clusters] = GetParam();
  HNSW index(pruned_config(6, m));
  SeededLevels levels(m * 31 + clusters);
  const auto data = points(1500, 6, clusters, 7);
  for (const auto& v : data) ASSERT_TRUE(index.insert(v, std::nullopt, levels).ok());
  const PrunedGraph& graph = *index.pruned_graph();
  ASSERT_EQ(graph.size(), data.size());

  std::uint32_t highest = 0;
  for (PrunedGraph::Id node = 0; node < graph.size(); ++node) {
    ASSERT_LE(graph.level(node), index.layers() - 1);
    highest = std::max(highest, graph.level(node));
    for (std::uint32_t layer = 0; layer <= graph.level(node); ++layer) {
      const auto list = graph.neighbors(node, layer);
      ASSERT_LE(list.size(), layer == 0 ? 2u * m : m) << "node " << node << " layer " << layer;
      std::vector<PrunedGraph::Id> sorted(list.begin(), list.end());
      std::sort(sorted.begin(), sorted.end());
      ASSERT_EQ(std::adjacent_find(sorted.begin(), sorted.end()), sorted.end()) << "a repeated neighbour";
      for (const PrunedGraph::Id n : list) {
        ASSERT_NE(n, node);
        ASSERT_GE(graph.level(n), layer) << "a neighbour that is not on the layer";
      }
    }
  }
  EXPECT_EQ(graph.top_level(), highest);
  EXPECT_EQ(graph.level(graph.entry()), highest);
  // The entry is the first node that reached the highest level.
  for (PrunedGraph::Id node = 0; node < graph.entry(); ++node) EXPECT_LT(graph.level(node), highest);

  // Every node is reachable from the entry on layer 0.
  std::vector<bool> seen(graph.size(), false);
  std::vector<PrunedGraph::Id> stack{graph.entry()};
  seen[graph.entry()] = true;
  while (!stack.empty()) {
    const PrunedGraph::Id node = stack.back();
    stack.pop_back();
    for (const PrunedGraph::Id n : graph.neighbors(node, 0)) {
      if (!seen[n]) {
        seen[n] = true;
        stack.push_back(n);
      }
    }
  }
  EXPECT_EQ(std::count(seen.begin(), seen.end(), true), static_cast<long>(graph.size()));
}

INSTANTIATE_TEST_SUITE_P(MAndData, PrunedGraphInvariants,
                         ::testing::Combine(::testing::Values(4u, 8u, 16u), ::testing::Values(0u, 12u)));

TEST(PrunedGraphLevels, GeometricWeightsCappedAtTheTopLayer) {
  for (const std::uint32_t layers : {1u, 3u, 5u}) {
    const PrunedGraph graph(16, layers);
    const auto weights = graph.level_weights();
    ASSERT_EQ(weights.size(), layers);
    double total = 0.0;
    for (double w : weights) total += w;
    EXPECT_NEAR(total, 1.0, 1e-12);
    // P(level >= j) = 16^-j.
    double tail = 1.0;
    for (std::uint32_t j = 0; j < layers; ++j) {
      double reach = 0.0;
      for (std::uint32_t i = j; i < layers; ++i) reach += weights[i];
      EXPECT_NEAR(reach, tail, 1e-12);
      tail /= 16.0;
    }
  }
  // m below 2 counts as 2.
  EXPECT_EQ(PrunedGraph(0, 3).m(), 2u);
  EXPECT_NEAR(PrunedGraph(1, 3).level_weights()[0], 0.5, 1e-15);

  // A source that asks for too high a level is capped at layers - 1.
  HNSW index(pruned_config(2, 4, 3));
  FixedLevel high(40);
  for (int i = 0; i < 20; ++i) ASSERT_TRUE(index.insert(std::vector<double>{double(i), 0.0}, std::nullopt, high).ok());
  for (PrunedGraph::Id node = 0; node < 20; ++node) EXPECT_EQ(index.pruned_graph()->level(node), 2u);
  for (PrunedGraph::Id node = 0; node < 20; ++node) EXPECT_EQ(index.level(node), 2u);
}

TEST(PrunedGraphSearch, ConcurrentSearchesAgreeWithSerialOnes) {
  HNSW index(pruned_config(8, 8));
  SeededLevels levels(3);
  const auto data = points(1000, 8, 5, 11);
  for (const auto& v : data) ASSERT_TRUE(index.insert(v, std::nullopt, levels).ok());
  const auto queries = points(64, 8, 5, 12);
  std::vector<std::vector<Neighbor>> serial(queries.size());
  for (std::size_t q = 0; q < queries.size(); ++q) ASSERT_TRUE(index.search(queries[q], 10, nullptr, &serial[q]).ok());

  std::vector<std::vector<std::vector<Neighbor>>> parallel(4, std::vector<std::vector<Neighbor>>(queries.size()));
  std::vector<std::thread> threads;
  for (std::size_t t = 0; t < parallel.size(); ++t) {
    threads.emplace_back([&, t] {
      for (int round = 0; round < 5; ++round) {
        for (std::size_t q = 0; q < queries.size(); ++q) (void)index.search(queries[q], 10, nullptr, &parallel[t][q]);
      }
    });
  }
  for (auto& thread : threads) thread.join();
  for (const auto& results : parallel) {
    for (std::size_t q = 0; q < queries.size(); ++q) {
      ASSERT_EQ(results[q].size(), serial[q].size());
      for (std::size_t i = 0; i < serial[q].size(); ++i) {
        EXPECT_EQ(results[q][i].id, serial[q][i].id);
        EXPECT_EQ(results[q][i].distance, serial[q][i].distance);
      }
    }
  }
}

}  // namespace
}  // namespace tamsel
