#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>

#include "common/panic.h"
#include "flat/flat.h"
#include "test_util.h"

namespace tamsel {
namespace {

using testing::kNaN;
using testing::same_double;

Flat make_flat(std::size_t dim, MetricFn metric, const std::vector<std::vector<double>>& vectors) {
  Flat flat(dim, metric);
  for (const auto& vector : vectors) flat.insert(vector);
  return flat;
}

std::vector<FlatHit> search(const Flat& flat, const std::vector<double>& query, std::uint32_t k) {
  std::vector<FlatHit> hits;
  EXPECT_TRUE(flat.search(query, k, &hits).ok());
  return hits;
}

// Ranks every stored vector: the straightforward way the bounded selection
// must agree with.
std::vector<FlatHit> rank_all(const Flat& flat, const std::vector<double>& query, std::uint32_t k) {
  std::vector<FlatHit> all;
  for (std::size_t id = 0; id < flat.size(); ++id) all.push_back({id, flat.metric()(query, flat.vector(id))});
  std::stable_sort(all.begin(), all.end(),
                   [](const FlatHit& x, const FlatHit& y) { return ranks_before(x.value, y.value); });
  all.resize(std::min<std::size_t>(all.size(), std::max<std::uint32_t>(k, 1)));
  return all;
}

TEST(Flat, EmptyIndexAndEmptyBatch) {
  Flat flat(2, euclidean_distance);
  std::vector<FlatHit> hits;
  Status<FlatError> status = flat.search(std::vector<double>{0.0, 0.0}, 1, &hits);
  ASSERT_FALSE(status.ok());
  EXPECT_EQ(status.error(), FlatError::EmptyIndex);
  Status<FlatError> created = flat.create(VectorBatch());
  ASSERT_FALSE(created.ok());
  EXPECT_EQ(created.error(), FlatError::EmptyVectors);
  EXPECT_EQ(flat.size(), 0u);
  EXPECT_STREQ(flat_error_name(FlatError::EmptyIndex), "EmptyIndex");
  EXPECT_STREQ(flat_error_name(FlatError::EmptyVectors), "EmptyVectors");
}

TEST(Flat, DimensionZeroStaysEmpty) {
  Flat flat(0, euclidean_distance);
  for (int i = 0; i < 3; ++i) flat.insert({});
  std::vector<FlatHit> hits;
  Status<FlatError> status = flat.search({}, 1, &hits);
  ASSERT_FALSE(status.ok());
  EXPECT_EQ(status.error(), FlatError::EmptyIndex);
}

TEST(Flat, DocumentedRanking) {
  Flat flat = make_flat(2, euclidean_distance, {{0.0, 0.0}, {3.0, 4.0}, {1.0, 0.0}});
  auto hits = search(flat, {0.0, 0.0}, 10);
  ASSERT_EQ(hits.size(), 3u);
  EXPECT_EQ(hits[0].id, 0u);
  EXPECT_EQ(hits[1].id, 2u);
  EXPECT_EQ(hits[2].id, 1u);
  EXPECT_EQ(hits[2].value, 5.0);
  EXPECT_EQ(search(flat, {0.0, 0.0}, 0).size(), 1u);
  EXPECT_EQ(search(flat, {0.0, 0.0}, 4294967295u).size(), 3u);

  Flat inner = make_flat(2, dot_product, {{1.0, 0.0}, {-1.0, 0.0}});
  auto by_inner = search(inner, {1.0, 0.0}, 2);
  EXPECT_EQ(by_inner[0].id, 1u);
  EXPECT_EQ(by_inner[0].value, -1.0);
  EXPECT_EQ(by_inner[1].id, 0u);
}

TEST(Flat, TiesAndNaNRankBySmallerIdentifier) {
  Flat flat = make_flat(2, cosine_similarity, {{1.0, 0.0}, {0.0, 1.0}, {2.0, 2.0}});
  auto hits = search(flat, {0.0, 0.0}, 3);  // a zero query: every value is NaN
  ASSERT_EQ(hits.size(), 3u);
  for (std::size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(hits[i].id, i);
    EXPECT_TRUE(std::isnan(hits[i].value));
  }
  Flat repeated = make_flat(1, euclidean_distance, {{1.0}, {-1.0}, {1.0}, {0.0}, {-1.0}});
  auto ranked = search(repeated, {0.0}, 5);
  std::vector<std::size_t> ids;
  for (const auto& hit : ranked) ids.push_back(hit.id);
  EXPECT_EQ(ids, (std::vector<std::size_t>{3, 0, 1, 2, 4}));
}

TEST(Flat, BoundedSelectionMatchesFullRanking) {
  std::mt19937_64 rng(11);
  for (MetricFn metric : {euclidean_distance, dot_product, cosine_similarity}) {
    for (int round = 0; round < 60; ++round) {
      const std::size_t dim = 1 + rng() % 4;
      const auto vectors = testing::awkward_vectors(rng, 1 + rng() % 60, dim, round % 2 == 1);
      Flat flat = make_flat(dim, metric, vectors);
      const auto query = testing::awkward_vectors(rng, 1, dim, round % 3 == 0)[0];
      for (std::uint32_t k : {0u, 1u, 2u, 5u, 17u, 100u}) {
        const auto got = search(flat, query, k);
        const auto want = rank_all(flat, query, k);
        ASSERT_EQ(got.size(), want.size());
        for (std::size_t i = 0; i < got.size(); ++i) {
          ASSERT_EQ(got[i].id, want[i].id) << "round " << round << " k " << k << " position " << i;
          ASSERT_TRUE(same_double(got[i].value, want[i].value));
        }
      }
    }
  }
}

// Many groups and slabs, filled by single inserts and batches of every
// size: every vector reads back bit for bit, and the answers are those of
// the scalar metric over the vectors as given.
TEST(Flat, SlabbedGroupsKeepVectorsAndAnswers) {
  std::mt19937_64 rng(12);
  std::normal_distribution<double> normal;
  for (MetricFn metric : {euclidean_distance, dot_product, cosine_similarity}) {
    for (std::size_t dim : {1u, 15u, 16u, 17u, 40u}) {
      const bool specials = dim == 17;
      auto vectors = testing::awkward_vectors(rng, 1100 + rng() % 200, dim, specials);
      if (dim != 16) {  // smooth values too, so that bounds tighten and blocks are left early
        for (auto& v : vectors) {
          for (double& x : v) x = rng() % 64 == 0 ? x : normal(rng);
        }
      }
      Flat flat(dim, metric);
      for (std::size_t row = 0; row < vectors.size();) {
        const std::size_t take = std::min<std::size_t>(vectors.size() - row, rng() % 3 == 0 ? 1 : rng() % 700);
        VectorBatch batch;
        for (std::size_t r = row; r < row + take; ++r) {
          for (double x : vectors[r]) batch.push_value(x);
          batch.end_row();
        }
        if (take == 1) {
          flat.insert(vectors[row]);
        } else if (take > 1) {
          ASSERT_TRUE(flat.create(batch).ok());
        }
        row += take;
      }
      ASSERT_EQ(flat.size(), vectors.size());
      for (std::size_t id = 0; id < vectors.size(); ++id) {
        const auto back = flat.vector(id);
        for (std::size_t i = 0; i < dim; ++i) ASSERT_TRUE(same_double(back[i], vectors[id][i])) << id << " " << i;
      }
      for (int q = 0; q < 4; ++q) {
        auto query = q == 3 ? testing::awkward_vectors(rng, 1, dim, true)[0] : vectors[rng() % vectors.size()];
        if (q == 1) {
          for (double& x : query) x += 50.0;  // far from the data
        }
        std::vector<FlatHit> want;
        for (std::size_t id = 0; id < vectors.size(); ++id) want.push_back({id, metric(query, vectors[id])});
        std::stable_sort(want.begin(), want.end(),
                         [](const FlatHit& x, const FlatHit& y) { return ranks_before(x.value, y.value); });
        for (std::uint32_t k : {1u, 10u, 600u}) {
          const auto got = search(flat, query, k);
          ASSERT_EQ(got.size(), std::min<std::size_t>(k, want.size()));
          for (std::size_t i = 0; i < got.size(); ++i) {
            ASSERT_EQ(got[i].id, want[i].id) << "dim " << dim << " k " << k << " position " << i;
            ASSERT_TRUE(same_double(got[i].value, want[i].value));
          }
        }
      }
    }
  }
}

TEST(Flat, CreateAppendsInOrderAndRefusesWrongLengths) {
  Flat flat(2, euclidean_distance);
  VectorBatch batch;
  for (double x : {5.0, 1.0}) {
    batch.push_value(x);
    batch.push_value(0.0);
    batch.end_row();
  }
  ASSERT_TRUE(flat.create(batch).ok());
  EXPECT_EQ(flat.size(), 2u);
  EXPECT_EQ(flat.vector(1)[0], 1.0);

  VectorBatch bad;
  bad.push_value(1.0);
  bad.end_row();
  EXPECT_THROW((void)flat.create(bad), Panic);
  EXPECT_EQ(flat.size(), 2u);
}

// Says stop at its second look.
class StopSecondTime final : public Checkpoint {
 public:
  bool keep_going() override { return looks_++ == 0; }

 private:
  int looks_ = 0;
};

TEST(Flat, CreateStoppedByItsCheckpointStoresNothing) {
  for (MetricFn metric : {euclidean_distance, cosine_similarity}) {
    Flat flat = make_flat(3, metric, {{1.0, 2.0, 3.0}, {4.0, 5.0, 6.0}, {7.0, 8.0, 9.5}});
    const std::vector<double> query{1.0, 0.5, 0.25};
    const std::vector<FlatHit> before = search(flat, query, 5);
    VectorBatch batch;
    for (int row = 0; row < 5000; ++row) {
      for (int i = 0; i < 3; ++i) batch.push_value(0.001 * row + i);
      batch.end_row();
    }
    StopSecondTime checkpoint;
    bool completed = true;
    ASSERT_TRUE(flat.create(batch, checkpoint, &completed).ok());
    EXPECT_FALSE(completed);
    EXPECT_EQ(flat.size(), 3u);
    const std::vector<FlatHit> after = search(flat, query, 5);
    ASSERT_EQ(after.size(), before.size());
    for (std::size_t i = 0; i < after.size(); ++i) {
      EXPECT_EQ(after[i].id, before[i].id);
      EXPECT_TRUE(same_double(after[i].value, before[i].value));
    }
    // What comes next lands where the first stopped vector would have, and
    // is scored like any other.
    flat.insert(query);
    EXPECT_EQ(flat.vector(3), query);
    const std::vector<FlatHit> with_next = search(flat, query, 5);
    const std::vector<FlatHit> ranked = rank_all(flat, query, 5);
    ASSERT_EQ(with_next.size(), ranked.size());
    for (std::size_t i = 0; i < ranked.size(); ++i) EXPECT_EQ(with_next[i].id, ranked[i].id);
  }
}

}  // namespace
}  // namespace tamsel
