#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "persist/checksum.h"
#include "persist/persist.h"
#include "test_util.h"

namespace tamsel::persist {
namespace {

using testing::same_double;

// Levels from a seeded generator, so that two indexes fed the same stream
// grow the same graph.
class SeededLevels final : public LevelSource {
 public:
  explicit SeededLevels(std::uint64_t seed) : rng_(seed) {}
  std::uint32_t next_level(std::span<const double> weights, std::uint32_t layers) override {
    return draw_level(weights, layers, std::uniform_real_distribution<double>(0.0, 1.0)(rng_));
  }

 private:
  std::mt19937_64 rng_;
};

std::vector<unsigned char> save_bytes(const auto& index) {
  std::vector<unsigned char> bytes(saved_size(index));
  MemoryOutput output(bytes.data(), bytes.size());
  EXPECT_TRUE(save(index, output, {}).ok());
  EXPECT_EQ(output.written(), bytes.size());
  return bytes;
}

PersistStatus load_bytes(const std::vector<unsigned char>& bytes, LoadedIndex* loaded) {
  MemoryInput input(bytes.data(), bytes.size());
  return load(input, std::nullopt, {}, loaded);
}

// Rewrites the checksum after a deliberate change, so that the change
// itself is what the loader meets.
void reseal(std::vector<unsigned char>& bytes) {
  Checksum checksum;
  checksum.update(bytes.data(), bytes.size() - kTrailerSize);
  const std::uint64_t digest = checksum.digest();
  std::memcpy(bytes.data() + bytes.size() - kTrailerSize, &digest, sizeof digest);
}

std::string format_error(const std::vector<unsigned char>& bytes) {
  LoadedIndex loaded;
  const PersistStatus status = load_bytes(bytes, &loaded);
  EXPECT_FALSE(loaded.flat || loaded.hnsw);
  return status.ok() ? "ok" : status.error().message;
}

HNSW make_graph(std::size_t nodes, LevelSource& levels, MetricFn metric = cosine_similarity) {
  HNSWConfig config;
  config.dim = 4;
  config.ef_construction = 16;
  config.ef_search = 8;
  config.metric = metric;
  config.schema = std::vector<std::string>{"kind", "size"};
  HNSW index(config);
  std::mt19937_64 rng(7);
  const auto vectors = testing::awkward_vectors(rng, nodes, 4, false);
  for (std::size_t i = 0; i < nodes; ++i) {
    std::optional<std::vector<Metadata>> record;
    if (i % 5 != 3) record = std::vector<Metadata>{std::string(i % 3, 'x'), std::int64_t(i % 4)};
    EXPECT_TRUE(index.insert(vectors[i], std::move(record), levels).ok());
  }
  return index;
}

std::vector<Neighbor> query(const HNSW& index, const std::vector<double>& q, const Filter* filter) {
  std::vector<Neighbor> result;
  EXPECT_TRUE(index.search(q, 8, filter, &result).ok());
  return result;
}

void expect_same_answers(const HNSW& a, const HNSW& b) {
  std::mt19937_64 rng(11);
  const Filter filter = make_equality_filter("size", std::int64_t{2});
  for (const auto& q : testing::awkward_vectors(rng, 20, 4, false)) {
    for (const Filter* f : {static_cast<const Filter*>(nullptr), &filter}) {
      const auto x = query(a, q, f);
      const auto y = query(b, q, f);
      ASSERT_EQ(x.size(), y.size());
      for (std::size_t i = 0; i < x.size(); ++i) {
        EXPECT_EQ(x[i].id, y[i].id);
        EXPECT_TRUE(same_double(x[i].distance, y[i].distance));
      }
    }
  }
}

TEST(Checksum, PiecesGiveTheDigestOfTheWholeAndEveryBitCounts) {
  std::vector<unsigned char> data(203);
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<unsigned char>(i * 37 + 1);
  Checksum whole;
  whole.update(data.data(), data.size());
  for (std::size_t split : {0, 1, 31, 32, 33, 100, 203}) {
    Checksum pieces;
    pieces.update(data.data(), split);
    pieces.update(data.data() + split, data.size() - split);
    EXPECT_EQ(pieces.digest(), whole.digest()) << split;
  }
  for (std::size_t bit = 0; bit < data.size() * 8; ++bit) {
    data[bit / 8] ^= static_cast<unsigned char>(1 << bit % 8);
    Checksum flipped;
    flipped.update(data.data(), data.size());
    EXPECT_NE(flipped.digest(), whole.digest()) << bit;
    data[bit / 8] ^= static_cast<unsigned char>(1 << bit % 8);
  }
}

// Also past the size at which the Euclidean screen's rotation is fitted:
// the loaded index fits its own, from all its nodes, and answers the same.
class PersistGraph : public ::testing::TestWithParam<std::pair<MetricFn, std::size_t>> {};

TEST_P(PersistGraph, ComesBackWholeAndGrowsAsTheOriginalWould) {
  SeededLevels levels(3);
  HNSW original = make_graph(GetParam().second, levels, GetParam().first);
  LoadedIndex loaded;
  ASSERT_TRUE(load_bytes(save_bytes(original), &loaded).ok());
  ASSERT_TRUE(loaded.hnsw);
  HNSW& copy = *loaded.hnsw;
  ASSERT_EQ(copy.size(), original.size());
  for (std::size_t v = 0; v < original.size(); ++v) {
    EXPECT_EQ(copy.level(v), original.level(v));
    EXPECT_EQ(copy.has_row(v), original.has_row(v));
    for (std::uint32_t layer = 0; layer < original.layers(); ++layer) {
      EXPECT_EQ(copy.neighbors(v, layer), original.neighbors(v, layer));
    }
  }
  expect_same_answers(original, copy);
  // The same further insertions, with the same levels, give the same graph:
  // the bookkeeping behind linking was rebuilt as insertion keeps it.
  SeededLevels more_a(5), more_b(5);
  std::mt19937_64 rng(9);
  for (const auto& v : testing::awkward_vectors(rng, 100, 4, false)) {
    ASSERT_TRUE(original.insert(v, std::vector<Metadata>{std::string("y"), std::int64_t{2}}, more_a).ok());
    ASSERT_TRUE(copy.insert(v, std::vector<Metadata>{std::string("y"), std::int64_t{2}}, more_b).ok());
  }
  expect_same_answers(original, copy);
  EXPECT_EQ(save_bytes(original), save_bytes(copy));
}

INSTANTIATE_TEST_SUITE_P(Metrics, PersistGraph,
                         ::testing::Values(std::pair<MetricFn, std::size_t>{cosine_similarity, 300},
                                           std::pair<MetricFn, std::size_t>{euclidean_distance,
                                                                            kFirstScreenFit + 60}));

TEST(Persist, FlatComesBackWithItsVectorsInOrder) {
  Flat flat(3, dot_product);
  std::mt19937_64 rng(2);
  for (const auto& v : testing::awkward_vectors(rng, 37, 3, true)) flat.insert(v);
  LoadedIndex loaded;
  ASSERT_TRUE(load_bytes(save_bytes(flat), &loaded).ok());
  ASSERT_TRUE(loaded.flat);
  ASSERT_EQ(loaded.flat->size(), flat.size());
  EXPECT_EQ(loaded.flat->metric(), dot_product);
  for (std::size_t id = 0; id < flat.size(); ++id) {
    const auto x = flat.vector(id), y = loaded.flat->vector(id);
    for (std::size_t i = 0; i < 3; ++i) EXPECT_TRUE(same_double(x[i], y[i]));
  }
}

// Files whose checksum is right but whose contents are not: each is refused
// with its own message before anything is built.
TEST(Persist, SealedDamageIsRefusedWithItsReason) {
  SeededLevels levels(3);
  const HNSW graph = make_graph(40, levels);
  const std::vector<unsigned char> good = save_bytes(graph);
  const std::size_t levels_at = kHeaderSize + 40 * 4 * sizeof(double);
  const std::size_t flags_at = levels_at + 40 * 4;
  const std::size_t lengths_at = flags_at + 40;
  const std::size_t neighbors_at = lengths_at + 40 * 4 + 8;
  const auto patched = [&](std::size_t offset, auto value) {
    std::vector<unsigned char> bytes = good;
    std::memcpy(bytes.data() + offset, &value, sizeof value);
    reseal(bytes);
    return format_error(bytes);
  };
  EXPECT_EQ(patched(8, std::uint32_t{3}), "written by a newer version (format 3)");
  EXPECT_EQ(patched(12, std::uint32_t{9}), "unknown index class 9");
  EXPECT_EQ(patched(36, std::uint32_t{3}), "unknown metric code 3");
  EXPECT_EQ(patched(56, std::uint32_t{2}), "unknown graph construction mode 2");
  EXPECT_EQ(patched(56, std::uint32_t{1}), "truncated");  // a described file read as a pruned one
  EXPECT_EQ(patched(24, std::uint64_t{1} << 60), "truncated");
  EXPECT_EQ(patched(levels_at, std::uint32_t{3}), "corrupt: node level out of range");  // node 0 is on the top layer
  EXPECT_EQ(patched(levels_at + 4, std::uint32_t{5}), "corrupt: node level out of range");
  EXPECT_EQ(patched(flags_at, std::uint8_t{4}), "corrupt: unknown node flags");
  EXPECT_EQ(patched(lengths_at, std::uint32_t{1} << 31), "corrupt: neighbour rows longer than the neighbour table");
  EXPECT_EQ(patched(lengths_at + 40 * 4, std::uint64_t{1} << 40), "truncated");  // neighbour count
  EXPECT_EQ(patched(neighbors_at, std::uint32_t{40}), "corrupt: neighbour identifier out of range");
  EXPECT_EQ(patched(neighbors_at, std::uint32_t{0}), "corrupt: node lists itself as a neighbour");
  std::uint32_t second;
  std::memcpy(&second, good.data() + neighbors_at + 4, 4);
  EXPECT_EQ(patched(neighbors_at, second), "corrupt: neighbour listed twice in one row");

  std::vector<unsigned char> bytes = good;
  bytes[100] ^= 1;
  EXPECT_EQ(format_error(bytes), "checksum mismatch");
  bytes = good;
  bytes[0] = 'X';
  EXPECT_EQ(format_error(bytes), "not a tamsel index file");
  for (std::size_t length : {std::size_t{3}, std::size_t{8}, std::size_t{63}, good.size() - 1}) {
    EXPECT_EQ(format_error(std::vector<unsigned char>(good.begin(), good.begin() + length)),
              length < 8 ? "not a tamsel index file" : "truncated");
  }
  bytes = good;
  bytes.push_back(0);
  EXPECT_EQ(format_error(bytes), "unexpected data after the end of the index");
}

TEST(Persist, OtherClassAndStopRequestsAreRefused) {
  const std::vector<unsigned char> flat_bytes = save_bytes(Flat(2, euclidean_distance));
  MemoryInput input(flat_bytes.data(), flat_bytes.size());
  LoadedIndex loaded;
  const PersistStatus status = load(input, IndexClass::HNSW, {}, &loaded);
  ASSERT_FALSE(status.ok());
  EXPECT_EQ(status.error().message, "the file holds a PyFlat index, not a PyHNSW index");

  Flat flat(2, euclidean_distance);
  flat.insert(std::vector<double>{1.0, 2.0});
  std::vector<unsigned char> bytes(saved_size(flat));
  MemoryOutput output(bytes.data(), bytes.size());
  const PersistStatus stopped = save(flat, output, [] { return false; });
  ASSERT_FALSE(stopped.ok());
  EXPECT_EQ(stopped.error().kind, ErrorKind::Interrupted);
}

}  // namespace
}  // namespace tamsel::persist
