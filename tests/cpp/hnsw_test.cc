#include <gtest/gtest.h>

#include <cerrno>
#include <cmath>
#include <cstring>
#include <deque>
#include <thread>

#include "common/panic.h"
#include "hnsw/hnsw.h"
#include "reference_hnsw.h"
#include "test_util.h"

namespace tamsel {
namespace {

using testing::kNaN;

// Hands out the levels a test chooses, and fails the test if insertion asks
// for more than it was given.
class ScriptedLevels final : public LevelSource {
 public:
  explicit ScriptedLevels(std::deque<std::uint32_t> levels = {}) : levels_(std::move(levels)) {}
  std::uint32_t next_level(std::span<const double>, std::uint32_t) override {
    ++draws_;
    if (levels_.empty()) {
      ADD_FAILURE() << "a level was drawn that the test did not provide";
      return 0;
    }
    const std::uint32_t level = levels_.front();
    levels_.pop_front();
    return level;
  }
  int draws() const { return draws_; }

 private:
  std::deque<std::uint32_t> levels_;
  int draws_ = 0;
};

HNSWConfig config(std::uint32_t dim, std::uint32_t layers = 5, std::uint32_t ef_construction = 200) {
  HNSWConfig c;
  c.dim = dim;
  c.layers = layers;
  c.ef_construction = ef_construction;
  return c;
}

std::vector<NodeId> ids(std::span<const NodeId> row) { return {row.begin(), row.end()}; }

// A node's neighbours as a search of layer 0 sees them: each once, in the
// order first linked, without the node itself. The reference keeps the raw
// row with its repeats; the engine keeps exactly this.
std::vector<NodeId> linked(const ReferenceHNSW& index, NodeId node) {
  std::vector<NodeId> out;
  for (NodeId n : index.row(node)) {
    if (n != node && std::find(out.begin(), out.end(), n) == out.end()) out.push_back(n);
  }
  return out;
}
std::vector<NodeId> linked(const HNSW& index, NodeId node) { return index.neighbors(node, 0); }

std::vector<NodeId> ids(const std::vector<Neighbor>& found) {
  std::vector<NodeId> out;
  for (const Neighbor& n : found) out.push_back(n.id);
  return out;
}

template <class Index>
void insert_all(Index& index, const std::vector<std::vector<double>>& vectors, LevelSource& levels) {
  for (const auto& v : vectors) ASSERT_TRUE(index.insert(v, std::nullopt, levels).ok());
}

TEST(HNSWConstruction, DefaultsAndLevelWeights) {
  HNSW index(config(3));
  EXPECT_EQ(index.layers(), 5u);
  EXPECT_EQ(index.m(), 16u);
  EXPECT_EQ(index.ef_construction(), 200u);
  EXPECT_EQ(index.ef_search(), 50u);
  ASSERT_EQ(index.level_weights().size(), 5u);
  for (int j = 0; j < 5; ++j) EXPECT_EQ(index.level_weights()[j], std::exp(-static_cast<double>(j)));
  EXPECT_EQ(index.size(), 0u);
}

TEST(HNSWConstruction, WeightTableStopsAtItsFirstZero) {
  EXPECT_EQ(make_level_weights(0).size(), 0u);
  EXPECT_EQ(make_level_weights(1), std::vector<double>{1.0});
  const std::vector<double> huge = make_level_weights(4294967295u);
  EXPECT_EQ(huge.size(), 746u);
  EXPECT_GT(huge.back(), 0.0);
  EXPECT_EQ(std::exp(-746.0), 0.0);
}

TEST(HNSWConstruction, MetricNames) {
  EXPECT_EQ(hnsw_metric_by_name("euclidean"), euclidean_distance);
  EXPECT_EQ(hnsw_metric_by_name("angular"), cosine_similarity);
  EXPECT_EQ(hnsw_metric_by_name("inner_product"), dot_product);
  for (const char* name : {"Euclidean", "euclidean ", "cosine", "", "l2", "ANGULAR"}) {
    EXPECT_FALSE(hnsw_metric_by_name(name).has_value()) << name;
  }
  EXPECT_STREQ(hnsw_error_name(HNSWError::InvalidNodeID), "InvalidNodeID");
  EXPECT_STREQ(hnsw_error_name(HNSWError::AttributeNotFound), "AttributeNotFound");
}

TEST(LevelDraw, FollowsTheWeights) {
  const std::vector<double> weights = make_level_weights(5);
  double total = 0.0;
  for (double w : weights) total += w;
  // A fine uniform grid over [0, 1) lands on each level in proportion to its weight.
  const int steps = 1000000;
  std::vector<int> counts(5);
  for (int i = 0; i < steps; ++i) ++counts[draw_level(weights, 5, static_cast<double>(i) / steps)];
  for (int j = 0; j < 5; ++j) EXPECT_NEAR(counts[j] / static_cast<double>(steps), weights[j] / total, 2e-6);
  EXPECT_EQ(draw_level(weights, 5, 0.0), 0u);
  EXPECT_EQ(draw_level(weights, 5, std::nextafter(1.0, 0.0)), 4u);
  EXPECT_EQ(draw_level({}, 0, 0.5), 4294967295u);  // no weights: the last layer, wrapped
  EXPECT_EQ(draw_level(make_level_weights(1), 1, 0.999), 0u);
}

TEST(LevelDraw, ThreadGeneratorIsUniform) {
  ThreadRandomLevels levels;
  const std::vector<double> weights = make_level_weights(5);
  const double expected[] = {0.6364, 0.2341, 0.0861, 0.0317, 0.0117};
  const int draws = 200000;
  std::vector<int> counts(5);
  for (int i = 0; i < draws; ++i) ++counts[levels.next_level(weights, 5)];
  for (int j = 0; j < 5; ++j) EXPECT_NEAR(counts[j] / static_cast<double>(draws), expected[j], 0.005) << j;
  for (int i = 0; i < 1000; ++i) {
    const double r = thread_uniform_double();
    ASSERT_GE(r, 0.0);
    ASSERT_LT(r, 1.0);
  }
}

TEST(LevelDraw, UnseedableGeneratorPanics) {
  set_random_source_for_testing([](void*, std::size_t) { return EIO; });
  std::string message;
  // A fresh thread, since a thread's generator is seeded on its first use.
  std::thread([&] {
    try {
      thread_uniform_double();
    } catch (const Panic& panic) {
      message = panic.message();
    }
  }).join();
  set_random_source_for_testing(nullptr);
  EXPECT_EQ(message, std::string("could not initialize ThreadRng: ") + std::strerror(EIO));
}

// Every behaviour below holds for the engine and for the plain reference.
template <class Index>
class EngineTest : public ::testing::Test {};
using Engines = ::testing::Types<ReferenceHNSW, HNSW>;
TYPED_TEST_SUITE(EngineTest, Engines);

TYPED_TEST(EngineTest, FirstNodeDrawsNoLevelAndGetsAnEmptyRow) {
  TypeParam index(config(2));
  ScriptedLevels levels;
  ASSERT_TRUE(index.insert(std::vector<double>{1.0, 2.0}, std::nullopt, levels).ok());
  EXPECT_EQ(levels.draws(), 0);
  EXPECT_EQ(index.size(), 1u);
  EXPECT_EQ(index.level(0), 4u);
  EXPECT_TRUE(index.has_row(0));
  EXPECT_TRUE(linked(index, 0).empty());
}

TEST(ReferenceHNSW, SecondNodeIsLinkedAtEveryLayerFromItsLevel) {
  for (std::uint32_t level : {0u, 2u, 4u}) {
    ReferenceHNSW index(config(1));
    ScriptedLevels levels({level});
    insert_all(index, std::vector<std::vector<double>>{{0.0}, {3.0}}, levels);
    // Layer `level` links to node 0 from node 0; every higher layer searches
    // from node 1, finds itself first and node 0 next, and links both.
    std::vector<NodeId> row1 = {0};
    std::vector<NodeId> row0 = {1};
    for (std::uint32_t layer = level + 1; layer < 5; ++layer) {
      row1.insert(row1.end(), {1, 1, 0});
      row0.push_back(1);
    }
    EXPECT_EQ(ids(index.row(1)), row1) << "level " << level;
    EXPECT_EQ(ids(index.row(0)), row0) << "level " << level;
  }
}

TEST(HNSWGraph, ListsHoldEachNeighbourOnceFromItsLevelDown) {
  HNSW index(config(1));
  ScriptedLevels levels({2});
  insert_all(index, std::vector<std::vector<double>>{{0.0}, {3.0}}, levels);
  for (std::uint32_t layer = 0; layer < 5; ++layer) {
    EXPECT_EQ(index.neighbors(1, layer), std::vector<NodeId>{0}) << layer;
    EXPECT_EQ(index.neighbors(0, layer), layer <= 2 ? std::vector<NodeId>{1} : std::vector<NodeId>{}) << layer;
  }
}

TYPED_TEST(EngineTest, GreedyStepsBelowTheLevelMoveTheEntry) {
  // Node 2 has level 1: at layer 0 it only walks greedily from node 0 to the
  // closest node, node 1, and is linked at layers 1 .. 4 from there.
  TypeParam index(config(1, 5, 1));
  ScriptedLevels levels({1, 1});
  insert_all(index, {{0.0}, {10.0}, {9.0}}, levels);
  EXPECT_EQ(linked(index, 2).front(), 1u);
  EXPECT_EQ(index.level(2), 1u);
}

TYPED_TEST(EngineTest, OneLayerLinksEachNodeOnceFromNodeZero) {
  TypeParam index(config(1, 1));
  ThreadRandomLevels levels;
  insert_all(index, {{0.0}, {1.0}, {2.0}}, levels);
  EXPECT_EQ(index.level(0), 0u);
  EXPECT_EQ(index.level(1), 0u);
  EXPECT_EQ(index.level(2), 0u);
  EXPECT_EQ(linked(index, 0), (std::vector<NodeId>{1, 2}));
  EXPECT_EQ(linked(index, 1), (std::vector<NodeId>{0, 2}));
  EXPECT_EQ(linked(index, 2), (std::vector<NodeId>{1, 0}));  // found from node 0: nearest first
}

TYPED_TEST(EngineTest, ZeroLayersStoresWithoutLinking) {
  TypeParam index(config(1, 0));
  ScriptedLevels levels({7, 7});
  insert_all(index, {{0.0}, {1.0}, {2.0}}, levels);
  EXPECT_EQ(index.size(), 3u);
  EXPECT_TRUE(index.has_row(0));
  EXPECT_FALSE(index.has_row(1));
  EXPECT_FALSE(index.has_row(2));
  EXPECT_TRUE(linked(index, 0).empty());
  EXPECT_EQ(index.vector(2)[0], 2.0);
  std::vector<Neighbor> found;
  Status<HNSWError> status = index.search(std::vector<double>{0.0}, 1, nullptr, &found);
  ASSERT_FALSE(status.ok());
  EXPECT_EQ(status.error(), HNSWError::InvalidLayer);
}

TYPED_TEST(EngineTest, ZeroBeamStoresTheNodeButFailsToLinkIt) {
  TypeParam index(config(1, 5, 0));
  ScriptedLevels levels({0, 3});
  ASSERT_TRUE(index.insert(std::vector<double>{0.0}, std::nullopt, levels).ok());
  for (double x : {1.0, 2.0}) {
    Status<HNSWError> status = index.insert(std::vector<double>{x}, std::nullopt, levels);
    ASSERT_FALSE(status.ok());
    EXPECT_EQ(status.error(), HNSWError::InvalidEF);
  }
  EXPECT_EQ(index.size(), 3u);
  EXPECT_EQ(index.level(2), 3u);
  EXPECT_FALSE(index.has_row(1));
  EXPECT_TRUE(linked(index, 0).empty());
}

TYPED_TEST(EngineTest, ChecksBeforeStoring) {
  HNSWConfig with_schema = config(1);
  with_schema.schema = std::vector<std::string>{"a"};
  TypeParam index(with_schema);
  ThreadRandomLevels levels;
  VectorBatch batch;
  for (double x : {1.0, 2.0, 3.0}) {
    batch.push_value(x);
    batch.end_row();
  }
  std::vector<std::vector<Metadata>> two(2, std::vector<Metadata>{Metadata(std::int64_t{1})});
  Status<HNSWError> status = index.create(batch, two, levels);
  ASSERT_FALSE(status.ok());
  EXPECT_EQ(status.error(), HNSWError::AttributeNotFound);
  EXPECT_EQ(index.size(), 0u);
  status = index.create(VectorBatch(), {}, levels);
  ASSERT_FALSE(status.ok());
  EXPECT_EQ(status.error(), HNSWError::EmptyVectors);

  TypeParam no_schema(config(1));
  ASSERT_TRUE(no_schema.create(batch, two, levels).ok());  // records are not consulted
  EXPECT_EQ(no_schema.size(), 3u);

  TypeParam failing(config(1, 5, 0));
  status = failing.create(batch, {}, levels);
  ASSERT_FALSE(status.ok());
  EXPECT_EQ(status.error(), HNSWError::InvalidEF);
  EXPECT_EQ(failing.size(), 2u);  // the first, and the second that failed to link
}

// A one-dimensional index on one layer where node 0 sits at 1 and nodes 1..
// at the given positions; with a wide beam every node ends up in node 0's row.
template <class Index>
Index line(const std::vector<double>& positions, std::optional<std::vector<std::string>> schema = std::nullopt,
          MetricFn metric = euclidean_distance) {
  HNSWConfig c = config(1, 1);
  c.schema = std::move(schema);
  c.metric = metric;
  Index index(c);
  ThreadRandomLevels levels;
  for (double x : positions) {
    std::optional<std::vector<Metadata>> record;
    if (index.schema()) record = std::vector<Metadata>(index.schema()->size(), Metadata(x));
    EXPECT_TRUE(index.insert(std::vector<double>{x}, std::move(record), levels).ok());
  }
  return index;
}

TYPED_TEST(EngineTest, EqualDistancesEnterBeforeTheLastEqualPair) {
  TypeParam index = line<TypeParam>({1.0, 2.0, -2.0, 2.0});
  ASSERT_EQ(linked(index, 0), (std::vector<NodeId>{1, 2, 3}));
  std::vector<Neighbor> found;
  ASSERT_TRUE(index.knn(0, std::vector<double>{0.0}, 10, 0, nullptr, &found).ok());
  EXPECT_EQ(ids(found), (std::vector<NodeId>{0, 2, 3, 1}));
}

TYPED_TEST(EngineTest, FullListAdmitsOnlyStrictlyCloser) {
  TypeParam index = line<TypeParam>({5.0, 5.0, -5.0, 4.0});
  std::vector<Neighbor> found;
  // ef 1: the entry (distance 5) stays against the equal nodes 1 and 2, and
  // node 3 at distance 4 replaces it.
  ASSERT_TRUE(index.knn(0, std::vector<double>{0.0}, 1, 0, nullptr, &found).ok());
  EXPECT_EQ(ids(found), (std::vector<NodeId>{3}));
  // ef 2 from node 1: node 0 (distance 5) fills the list and enters before
  // the equal entry; node 2 (also 5) is refused; node 3 (4) enters first and
  // pushes the last pair, the entry, off the end.
  ASSERT_TRUE(index.knn(1, std::vector<double>{0.0}, 2, 0, nullptr, &found).ok());
  EXPECT_EQ(ids(found), (std::vector<NodeId>{3, 0}));
}

TYPED_TEST(EngineTest, NaNEntersOnlyWhileTheListHasRoom) {
  TypeParam index = line<TypeParam>({1.0, kNaN, 2.0, 3.0});
  std::vector<Neighbor> found;
  ASSERT_TRUE(index.knn(0, std::vector<double>{0.0}, 10, 0, nullptr, &found).ok());
  ASSERT_EQ(found.size(), 4u);
  EXPECT_TRUE(std::isnan(found.back().distance));
  EXPECT_EQ(found.back().id, 1u);
  // Node 1 (NaN) is reached first and fills the list; a number ranks before
  // a NaN last pair, so node 2 displaces it (node 3, at 3 > 2, does not).
  ASSERT_TRUE(index.knn(0, std::vector<double>{0.0}, 2, 0, nullptr, &found).ok());
  EXPECT_EQ(ids(found), (std::vector<NodeId>{0, 2}));
  // A number replaces an entry at NaN distance in a list of one...
  ASSERT_TRUE(index.knn(1, std::vector<double>{0.0}, 1, 0, nullptr, &found).ok());
  EXPECT_EQ(ids(found), (std::vector<NodeId>{0}));
  // ...but a NaN never enters a full list.
  ASSERT_TRUE(index.knn(0, std::vector<double>{0.0}, 1, 0, nullptr, &found).ok());
  EXPECT_EQ(ids(found), (std::vector<NodeId>{0}));
}

int metric_calls = 0;
int measured_threes = 0;
double counting_metric(std::span<const double> a, std::span<const double> b) {
  ++metric_calls;
  if (!b.empty() && b[0] == 3.0) ++measured_threes;
  return euclidean_distance(a, b);
}

TYPED_TEST(EngineTest, ChecksComeBeforeAnyDistance) {
  TypeParam index = line<TypeParam>({1.0, 2.0}, std::nullopt, counting_metric);
  Filter filter = make_equality_filter("a", Metadata(1.0));
  std::vector<Neighbor> found;
  metric_calls = 0;
  struct Case {
    std::uint32_t ef, layer;
    const Filter* filter;
    HNSWError error;
  };
  for (const Case& c : {Case{0, 7, nullptr, HNSWError::InvalidEF}, Case{1, 1, nullptr, HNSWError::InvalidLayer},
                        Case{0, 0, &filter, HNSWError::InvalidEF}, Case{1, 0, &filter, HNSWError::NoSchema}}) {
    Status<HNSWError> status = index.knn(0, std::vector<double>{0.0}, c.ef, c.layer, c.filter, &found);
    ASSERT_FALSE(status.ok());
    EXPECT_EQ(status.error(), c.error);
  }
  EXPECT_EQ(metric_calls, 0);

  TypeParam empty_schema = line<TypeParam>({1.0}, std::vector<std::string>{});
  TypeParam other_schema = line<TypeParam>({1.0}, std::vector<std::string>{"b"});
  Status<HNSWError> status = empty_schema.knn(0, std::vector<double>{0.0}, 1, 0, &filter, &found);
  EXPECT_EQ(status.error(), HNSWError::EmptySchema);
  status = other_schema.knn(0, std::vector<double>{0.0}, 1, 0, &filter, &found);
  EXPECT_EQ(status.error(), HNSWError::AttributeNotFound);
}

TYPED_TEST(EngineTest, FilterSkipsFailingNeighboursButKeepsTheEntry) {
  TypeParam index = line<TypeParam>({1.0, 2.0, 3.0, 2.0}, std::vector<std::string>{"a"}, counting_metric);
  Filter twos = make_equality_filter("a", Metadata(2.0));
  std::vector<Neighbor> found;
  measured_threes = 0;
  ASSERT_TRUE(index.knn(0, std::vector<double>{0.0}, 10, 0, &twos, &found).ok());
  EXPECT_EQ(ids(found), (std::vector<NodeId>{0, 3, 1}));  // the entry stays, untested
  EXPECT_EQ(measured_threes, 0);  // node 2 fails the filter and is never measured

  std::vector<Neighbor> result;
  ASSERT_TRUE(index.search(std::vector<double>{0.0}, 10, &twos, &result).ok());
  EXPECT_EQ(ids(result), (std::vector<NodeId>{3, 1}));  // but the query reports passing nodes only
  Filter integer_two = make_equality_filter("a", Metadata(std::int64_t{2}));
  ASSERT_TRUE(index.search(std::vector<double>{0.0}, 10, &integer_two, &result).ok());
  EXPECT_TRUE(result.empty());
}

TYPED_TEST(EngineTest, NodesWithoutRecordsFailEveryFilter) {
  HNSWConfig c = config(1, 1);
  c.schema = std::vector<std::string>{"a"};
  TypeParam index(c);
  ThreadRandomLevels levels;
  ASSERT_TRUE(index.insert(std::vector<double>{0.0}, std::nullopt, levels).ok());
  ASSERT_TRUE(index.insert(std::vector<double>{1.0}, std::nullopt, levels).ok());
  ASSERT_TRUE(index.insert(std::vector<double>{2.0}, std::vector<Metadata>{Metadata("x")}, levels).ok());
  Filter x = make_equality_filter("a", Metadata("x"));
  std::vector<Neighbor> result;
  ASSERT_TRUE(index.search(std::vector<double>{0.0}, 5, &x, &result).ok());
  EXPECT_EQ(ids(result), (std::vector<NodeId>{2}));
}

TYPED_TEST(EngineTest, OutputRules) {
  HNSWConfig c = config(1, 1);
  c.ef_search = 3;
  TypeParam index(c);
  std::vector<Neighbor> result;
  ASSERT_TRUE(index.search(std::vector<double>{0.0}, 5, nullptr, &result).ok());
  EXPECT_TRUE(result.empty());
  ThreadRandomLevels levels;
  insert_all(index, {{0.0}, {1.0}, {2.0}, {3.0}, {4.0}, {5.0}}, levels);
  ASSERT_TRUE(index.search(std::vector<double>{0.0}, 0, nullptr, &result).ok());
  EXPECT_EQ(ids(result), (std::vector<NodeId>{0}));
  ASSERT_TRUE(index.search(std::vector<double>{0.0}, 10, nullptr, &result).ok());
  EXPECT_EQ(ids(result), (std::vector<NodeId>{0, 1, 2}));
  ASSERT_TRUE(index.search(std::vector<double>{0.0}, 4294967295u, nullptr, &result).ok());
  EXPECT_EQ(result.size(), 3u);
}

}  // namespace
}  // namespace tamsel
