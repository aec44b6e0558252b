// Shows the work the graph engine avoids: builds the same index, with the
// same levels, with the engine and with the plain reference, then runs the
// same queries on both, and prints distances measured, neighbour entries
// walked, graph bytes per node and time. Checks that both answer alike.
//
//   engine_counters [nodes] [dim] [queries]     (defaults 2000 128 100)
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <vector>

#include "common/work_counters.h"
#include "hnsw/hnsw.h"
#include "reference_hnsw.h"

namespace {

using namespace tamsel;

class FixedLevels final : public LevelSource {
 public:
  explicit FixedLevels(const std::vector<std::uint32_t>& levels) : levels_(levels) {}
  std::uint32_t next_level(std::span<const double>, std::uint32_t) override { return levels_[next_++]; }

 private:
  const std::vector<std::uint32_t>& levels_;
  std::size_t next_ = 0;
};

// Overlapping Gaussian clusters.
std::vector<std::vector<double>> clustered(std::mt19937_64& rng, std::size_t count, std::size_t dim,
                                           const std::vector<std::vector<double>>& centers) {
  std::normal_distribution<double> noise(0.0, 1.0);
  std::vector<std::vector<double>> vectors(count, std::vector<double>(dim));
  for (auto& v : vectors) {
    const auto& center = centers[rng() % centers.size()];
    for (std::size_t i = 0; i < dim; ++i) v[i] = center[i] + noise(rng);
  }
  return vectors;
}

struct Work {
  double seconds;
  WorkCounters counters;
};

template <class Body>
Work measure(Body&& body) {
  work_counters() = {};
  const auto start = std::chrono::steady_clock::now();
  body();
  return {std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(), work_counters()};
}

void row(const char* what, const Work& reference, const Work& engine, std::size_t per) {
  std::printf("%-22s %14.0f %14.0f %14.0f %14.0f %10.3f %10.3f\n", what,
              double(reference.counters.distances) / per, double(engine.counters.distances) / per,
              double(reference.counters.entries_walked) / per, double(engine.counters.entries_walked) / per,
              reference.seconds * 1e3 / per, engine.seconds * 1e3 / per);
}

}  // namespace

int main(int argc, char** argv) {
  const std::size_t nodes = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 2000;
  const std::size_t dim = argc > 2 ? std::strtoul(argv[2], nullptr, 10) : 128;
  const std::size_t queries = argc > 3 ? std::strtoul(argv[3], nullptr, 10) : 100;

  std::mt19937_64 rng(42);
  std::normal_distribution<double> spread(0.0, 3.0);
  std::vector<std::vector<double>> centers(20, std::vector<double>(dim));
  for (auto& c : centers) {
    for (double& x : c) x = spread(rng);
  }
  const auto data = clustered(rng, nodes, dim, centers);
  const auto query_vectors = clustered(rng, queries, dim, centers);

  HNSWConfig config;
  config.dim = static_cast<std::uint32_t>(dim);
  const std::vector<double> weights = make_level_weights(config.layers);
  std::vector<std::uint32_t> levels;
  std::uniform_real_distribution<double> uniform(0.0, 1.0);
  for (std::size_t i = 0; i < nodes; ++i) levels.push_back(draw_level(weights, config.layers, uniform(rng)));

  ReferenceHNSW reference(config);
  HNSW engine(config);
  const Work reference_build = measure([&] {
    FixedLevels source(levels);
    for (const auto& v : data) (void)reference.insert(v, std::nullopt, source);
  });
  const Work engine_build = measure([&] {
    FixedLevels source(levels);
    for (const auto& v : data) (void)engine.insert(v, std::nullopt, source);
  });

  std::vector<std::vector<Neighbor>> reference_answers(queries), engine_answers(queries);
  const Work reference_query = measure([&] {
    for (std::size_t q = 0; q < queries; ++q) (void)reference.search(query_vectors[q], 10, nullptr, &reference_answers[q]);
  });
  const Work engine_query = measure([&] {
    for (std::size_t q = 0; q < queries; ++q) (void)engine.search(query_vectors[q], 10, nullptr, &engine_answers[q]);
  });
  std::size_t differing = 0;
  for (std::size_t q = 0; q < queries; ++q) {
    const auto& a = reference_answers[q];
    const auto& b = engine_answers[q];
    bool same = a.size() == b.size();
    for (std::size_t i = 0; same && i < a.size(); ++i) same = a[i].id == b[i].id && a[i].distance == b[i].distance;
    differing += !same;
  }

  std::printf("%zu clustered vectors of dimension %zu, default parameters, %zu queries (k = 10)\n\n", nodes, dim,
              queries);
  std::printf("%-22s %14s %14s %14s %14s %10s %10s\n", "per operation", "distances", "", "entries walked", "",
              "ms", "");
  std::printf("%-22s %14s %14s %14s %14s %10s %10s\n", "", "reference", "engine", "reference", "engine",
              "reference", "engine");
  row("insertion", reference_build, engine_build, nodes);
  row("query", reference_query, engine_query, queries);
  std::printf("\ngraph bytes per node:  reference layout %.0f, engine %.0f\n",
              double(reference.literal_graph_bytes()) / nodes, double(engine.graph_memory_bytes()) / nodes);
  std::printf("engine lists: %.0f entries per node in %.0f slots\n", double(engine.graph().entries()) / nodes,
              double(engine.graph().slots()) / nodes);
  std::printf("queries answered differently: %zu of %zu\n", differing, queries);
  return differing == 0 ? 0 : 1;
}
