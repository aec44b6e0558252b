// The engine against the plain reference: the same insertions with the same
// levels must give the same errors, the same neighbours at every layer (the
// reference's rows without repeats and self-links), and bit for bit the same
// layer searches and queries, for every metric, with and without filters, on
// data full of ties, repeats, NaN and infinities.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <deque>

#include "hnsw/hnsw.h"
#include "reference_hnsw.h"
#include "test_util.h"

namespace tamsel {
namespace {

using testing::kInf;
using testing::kNaN;
using testing::same_double;

class FixedLevels final : public LevelSource {
 public:
  explicit FixedLevels(std::vector<std::uint32_t> levels) : levels_(std::move(levels)) {}
  std::uint32_t next_level(std::span<const double>, std::uint32_t) override { return levels_.at(next_++); }

 private:
  std::vector<std::uint32_t> levels_;
  std::size_t next_ = 0;
};

// A metric without batched kernels, so that the engine's generic path runs.
double lopsided(std::span<const double> a, std::span<const double> b) {
  double sum = 0.0;
  for (std::size_t i = 0; i < std::min(a.size(), b.size()); ++i) sum += std::abs(a[i] - 2.0 * b[i]);
  return sum;
}

std::vector<NodeId> reference_neighbors(const ReferenceHNSW& index, NodeId node, std::uint32_t layer) {
  std::vector<NodeId> out;
  for (NodeId n : index.row(node)) {
    if (n == node || index.level(n) < layer) continue;
    if (std::find(out.begin(), out.end(), n) == out.end()) out.push_back(n);
  }
  return out;
}

::testing::AssertionResult same_results(const std::vector<Neighbor>& got, const std::vector<Neighbor>& want) {
  if (got.size() != want.size()) {
    return ::testing::AssertionFailure() << "sizes " << got.size() << " and " << want.size();
  }
  for (std::size_t i = 0; i < got.size(); ++i) {
    if (got[i].id != want[i].id || !same_double(got[i].distance, want[i].distance)) {
      return ::testing::AssertionFailure() << "position " << i << ": (" << got[i].distance << ", " << got[i].id
                                           << ") against (" << want[i].distance << ", " << want[i].id << ")";
    }
  }
  return ::testing::AssertionSuccess();
}

::testing::AssertionResult same_status(Status<HNSWError> got, Status<HNSWError> want) {
  if (got.ok() == want.ok() && (got.ok() || got.error() == want.error())) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << (got.ok() ? "ok" : hnsw_error_name(got.error())) << " against "
                                       << (want.ok() ? "ok" : hnsw_error_name(want.error()));
}

struct Trial {
  HNSWConfig config;
  std::vector<std::vector<double>> vectors;
  std::vector<std::optional<std::vector<Metadata>>> records;
  std::vector<std::uint32_t> levels;
};

Metadata random_value(std::mt19937_64& rng) {
  switch (rng() % 5) {
    case 0:
      return Metadata(std::int64_t(rng() % 3));
    case 1:
      return Metadata(double(rng() % 3));
    case 2:
      return Metadata(kNaN);
    case 3:
      return Metadata(-0.0);
    default:
      return Metadata(std::string(rng() % 2 ? "x" : "y"));
  }
}

// Values moved by a few units of 2^-29, below the precision of a float, so
// that distances differ where a rounded copy of the vectors cannot tell them
// apart.
void nudge(std::mt19937_64& rng, std::vector<double>& vector) {
  for (double& value : vector) value *= 1.0 + static_cast<double>(static_cast<int>(rng() % 5) - 2) * 0x1p-29;
}

Trial random_trial(std::mt19937_64& rng, std::uint32_t layers) {
  Trial trial;
  HNSWConfig& c = trial.config;
  const std::size_t dims[] = {1, 2, 3, 5, 8, 17, 33};
  c.dim = static_cast<std::uint32_t>(dims[rng() % 7]);
  c.layers = layers;
  const std::uint32_t efs[] = {1, 2, 3, 5, 8, 30, 200};
  c.ef_construction = rng() % 25 == 0 ? 0 : efs[rng() % 7];
  c.ef_search = rng() % 25 == 0 ? 0 : efs[rng() % 7];
  const MetricFn metrics[] = {euclidean_distance, dot_product, cosine_similarity, lopsided};
  c.metric = metrics[rng() % 4];
  switch (rng() % 4) {
    case 0:
      break;
    case 1:
      c.schema = std::vector<std::string>{};
      break;
    case 2:
      c.schema = std::vector<std::string>{"a"};
      break;
    default:
      c.schema = std::vector<std::string>{"a", "b", "a"};
  }
  const std::size_t count = 1 + rng() % 90;
  trial.vectors = testing::awkward_vectors(rng, count, c.dim, rng() % 3 == 0);
  const bool nudged = rng() % 3 == 0;
  // Repeated vectors make exact ties between different nodes.
  for (std::size_t i = 1; i < count; ++i) {
    if (rng() % 6 == 0) trial.vectors[i] = trial.vectors[rng() % i];
    if (nudged) nudge(rng, trial.vectors[i]);
  }
  const std::vector<double> weights = make_level_weights(layers);
  for (std::size_t i = 0; i < count; ++i) {
    trial.levels.push_back(draw_level(weights, layers, std::uniform_real_distribution<double>(0.0, 1.0)(rng)));
    std::optional<std::vector<Metadata>> record;
    if (c.schema && rng() % 5 != 0) {
      record.emplace();
      for (std::size_t j = 0; j < c.schema->size(); ++j) record->push_back(random_value(rng));
    }
    trial.records.push_back(std::move(record));
  }
  return trial;
}

template <class Index>
std::vector<Status<HNSWError>> build(Index& index, const Trial& trial) {
  FixedLevels levels(trial.levels);
  std::vector<Status<HNSWError>> statuses;
  for (std::size_t i = 0; i < trial.vectors.size(); ++i) {
    statuses.push_back(index.insert(trial.vectors[i], trial.records[i], levels));
  }
  return statuses;
}

void compare(const HNSW& engine, const ReferenceHNSW& reference, const Trial& trial, std::mt19937_64& rng,
             std::uint32_t reference_layers) {
  ASSERT_EQ(engine.size(), reference.size());
  const std::uint32_t layers = trial.config.layers;
  for (NodeId node = 0; node < engine.size(); ++node) {
    ASSERT_EQ(engine.has_row(node), reference.has_row(node)) << "node " << node;
    if (!reference.has_row(node)) continue;
    for (std::uint32_t layer = 0; layer < std::min<std::uint32_t>(reference_layers, 12); ++layer) {
      ASSERT_EQ(engine.neighbors(node, layer), reference_neighbors(reference, node, layer))
          << "node " << node << " layer " << layer;
    }
  }
  std::vector<Filter> filters;
  for (const char* name : {"a", "b", "c"}) {
    filters.push_back(make_equality_filter(name, random_value(rng)));
  }
  std::vector<Neighbor> got, want;
  for (int round = 0; round < 12; ++round) {
    std::vector<double> query = testing::awkward_vectors(rng, 1, trial.config.dim + rng() % 3, rng() % 4 == 0)[0];
    if (rng() % 3 == 0) query.resize(query.size() > 0 ? query.size() - 1 : 0);
    if (rng() % 3 == 0) nudge(rng, query);
    const Filter* filter = rng() % 2 ? &filters[rng() % filters.size()] : nullptr;
    const std::uint32_t k = std::uint32_t(rng() % 12);
    ASSERT_TRUE(same_status(engine.search(query, k, filter, &got), reference.search(query, k, filter, &want)));
    ASSERT_TRUE(same_results(got, want)) << "search round " << round;

    if (engine.size() == 0) continue;
    const NodeId entry = rng() % engine.size();
    const std::uint32_t ef = std::uint32_t(rng() % 9);
    const std::uint32_t layer = std::uint32_t(rng() % (std::min<std::uint32_t>(layers, 8) + 1));
    ASSERT_TRUE(same_status(engine.knn(entry, query, ef, layer, filter, &got),
                            reference.knn(entry, query, ef, layer, filter, &want)));
    ASSERT_TRUE(same_results(got, want)) << "knn round " << round;
  }
}

class EngineAgainstReference : public ::testing::TestWithParam<std::uint32_t> {};

TEST_P(EngineAgainstReference, SameGraphAndAnswers) {
  const std::uint32_t layers = GetParam();
  std::mt19937_64 rng(1000 + layers);
  for (int trial_number = 0; trial_number < 120; ++trial_number) {
    const Trial trial = random_trial(rng, layers);
    HNSW engine(trial.config);
    ReferenceHNSW reference(trial.config);
    const auto engine_statuses = build(engine, trial);
    const auto reference_statuses = build(reference, trial);
    for (std::size_t i = 0; i < engine_statuses.size(); ++i) {
      ASSERT_TRUE(same_status(engine_statuses[i], reference_statuses[i])) << "trial " << trial_number << " insert " << i;
    }
    compare(engine, reference, trial, rng, layers);
    if (HasFatalFailure()) {
      ADD_FAILURE() << "trial " << trial_number << ": dim " << trial.config.dim << " ef_construction "
                    << trial.config.ef_construction << " ef_search " << trial.config.ef_search;
      return;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Layers, EngineAgainstReference, ::testing::Values(0u, 1u, 2u, 3u, 5u, 9u));

// From kFirstScreenFit nodes on, the Euclidean screen sums rotated copies.
// Clustered vectors, with repeats and copies nudged below float precision,
// make near ties that the rotation's rounding must not decide: the answers
// stay the reference's once the copies are rotated.
TEST(EngineAgainstReference, RotatedScreenAnswersAsTheReference) {
  std::mt19937_64 rng(77);
  Trial trial;
  trial.config.dim = 24;
  trial.config.layers = 3;
  trial.config.ef_construction = 6;
  trial.config.ef_search = 40;
  std::vector<std::vector<double>> centres = testing::awkward_vectors(rng, 6, trial.config.dim, false);
  std::normal_distribution<double> noise(0.0, 0.5);
  const std::size_t count = kFirstScreenFit + 200;
  for (std::size_t i = 0; i < count; ++i) {
    std::vector<double> v = centres[rng() % centres.size()];
    for (double& x : v) x = std::clamp(x, -3.0, 3.0) + noise(rng);
    if (i > 0 && rng() % 8 == 0) v = trial.vectors[rng() % i];
    if (rng() % 4 == 0) nudge(rng, v);
    trial.vectors.push_back(std::move(v));
    trial.levels.push_back(rng() % 5 == 0 ? 1 : 0);
    trial.records.emplace_back();
  }
  HNSW engine(trial.config);
  ReferenceHNSW reference(trial.config);
  build(engine, trial);
  build(reference, trial);
  compare(engine, reference, trial, rng, trial.config.layers);
  std::vector<Neighbor> got, want;
  for (int round = 0; round < 300; ++round) {
    std::vector<double> query = trial.vectors[rng() % count];
    nudge(rng, query);
    if (round % 3 == 0) query.push_back(1.0);  // longer queries compare dim components
    ASSERT_TRUE(engine.search(query, 10, nullptr, &got).ok());
    ASSERT_TRUE(reference.search(query, 10, nullptr, &want).ok());
    ASSERT_TRUE(same_results(got, want)) << "round " << round;
  }
}

// Layers above every level but node 0's change nothing, so an index with an
// enormous number of layers answers as one with a few more layers than its
// highest level, and does so promptly.
TEST(EngineAgainstReference, EnormousLayerCountsAnswerLikeFewLayers) {
  std::mt19937_64 rng(99);
  for (int trial_number = 0; trial_number < 20; ++trial_number) {
    Trial trial = random_trial(rng, 12);
    HNSWConfig huge = trial.config;
    huge.layers = 4294967295u;
    HNSW engine(huge);
    ReferenceHNSW reference(trial.config);
    const auto started = std::chrono::steady_clock::now();
    const auto engine_statuses = build(engine, trial);
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(20));
    const auto reference_statuses = build(reference, trial);
    for (std::size_t i = 0; i < engine_statuses.size(); ++i) {
      ASSERT_TRUE(same_status(engine_statuses[i], reference_statuses[i]));
    }
    // Node 0's level differs (it is layers - 1), and nothing else.
    for (NodeId node = 1; node < engine.size(); ++node) ASSERT_EQ(engine.level(node), reference.level(node));
    std::vector<Neighbor> got, want;
    for (int round = 0; round < 10; ++round) {
      const auto query = testing::awkward_vectors(rng, 1, trial.config.dim, false)[0];
      ASSERT_TRUE(same_status(engine.search(query, 5, nullptr, &got), reference.search(query, 5, nullptr, &want)));
      ASSERT_TRUE(same_results(got, want));
    }
  }
}

}  // namespace
}  // namespace tamsel
