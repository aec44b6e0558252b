// An allocation failure anywhere inside HNSW::insert leaves the index as it
// was: this binary's operator new can be told to fail the n-th allocation
// from now, and every n is tried until the insertion gets through.
#include <gtest/gtest.h>

#include <cstdlib>
#include <new>
#include <random>
#include <vector>

#include "hnsw/hnsw.h"

// The replacements pair malloc with free, which the compiler cannot see
// through the operator new / delete calls it inlines.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

namespace {

long allocations_before_failure = -1;  // -1: none fails

}  // namespace

void* operator new(std::size_t size) {
  if (allocations_before_failure == 0) {
    allocations_before_failure = -1;
    throw std::bad_alloc();
  }
  if (allocations_before_failure > 0) --allocations_before_failure;
  if (void* memory = std::malloc(size == 0 ? 1 : size)) return memory;
  throw std::bad_alloc();
}

// Every form of the pair is replaced, so that no allocation made by one
// runtime's form is released by another's (which the sanitizer reports).
void* operator new[](std::size_t size) { return ::operator new(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  try {
    return ::operator new(size);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}
void* operator new[](std::size_t size, const std::nothrow_t& tag) noexcept { return ::operator new(size, tag); }
void operator delete(void* memory) noexcept { std::free(memory); }
void operator delete(void* memory, std::size_t) noexcept { std::free(memory); }
void operator delete[](void* memory) noexcept { std::free(memory); }
void operator delete[](void* memory, std::size_t) noexcept { std::free(memory); }

namespace tamsel {
namespace {

class FixedLevel final : public LevelSource {
 public:
  std::uint32_t level = 0;
  std::uint32_t next_level(std::span<const double>, std::uint32_t) override { return level; }
};

// Everything a caller can see of an index: its vectors, levels, rows, every
// list of every layer, and which nodes pass a filter.
struct Snapshot {
  std::size_t size;
  std::vector<std::vector<double>> vectors;
  std::vector<std::uint32_t> levels;
  std::vector<bool> rows;
  std::vector<std::vector<std::vector<NodeId32>>> lists;
  std::vector<NodeId> passing;
  bool operator==(const Snapshot&) const = default;
};

Snapshot snapshot(const HNSW& index) {
  Snapshot s{index.size(), {}, {}, {}, {}, {}};
  for (NodeId node = 0; node < index.size(); ++node) {
    const auto values = index.vector(node);
    s.vectors.emplace_back(values.begin(), values.end());
    s.levels.push_back(index.level(node));
    s.rows.push_back(index.has_row(node));
    auto& lists = s.lists.emplace_back();
    const auto id = static_cast<NodeId32>(node);
    if (const PrunedGraph* pruned = index.pruned_graph()) {
      for (std::uint32_t layer = 0; layer <= pruned->level(id); ++layer) {
        const auto list = pruned->neighbors(id, layer);
        lists.emplace_back(list.begin(), list.end());
      }
      continue;
    }
    for (std::uint32_t layer = 0; layer <= index.graph().top_layer(id); ++layer) {
      lists.push_back(index.graph().list(id, layer));
    }
  }
  const Filter filter = make_equality_filter("a", Metadata(std::int64_t{1}));
  std::vector<Neighbor> found;
  EXPECT_TRUE(index.search(std::vector<double>{0.0, 0.0}, 1000, &filter, &found).ok());
  for (const Neighbor& n : found) s.passing.push_back(n.id);
  return s;
}

class InsertFailure : public ::testing::TestWithParam<bool> {};

TEST_P(InsertFailure, AnAllocationFailureLeavesTheIndexAsItWas) {
  HNSWConfig config;
  config.prune = GetParam();
  config.m = 3;  // so that pruned lists fill and are chosen again
  config.dim = 2;
  config.layers = 4;
  config.ef_construction = 12;
  config.ef_search = 1000;
  config.schema = std::vector<std::string>{"a"};
  HNSW index(config);
  HNSW twin(config);  // the same insertions, none failing
  FixedLevel levels;
  std::mt19937_64 rng(5);
  std::normal_distribution<double> normal;
  int failures = 0;
  for (int k = 0; k < 300; ++k) {
    const std::vector<double> vector = {normal(rng), normal(rng)};
    const std::vector<Metadata> record = {Metadata(std::int64_t{k % 3})};
    levels.level = static_cast<std::uint32_t>(k % 7 == 0 ? 2 : k % 5 == 0 ? 1 : 0);
    ASSERT_TRUE(twin.insert(vector, record, levels).ok());
    if (k < 20) {  // then every insertion meets failures, in its searches and its links
      ASSERT_TRUE(index.insert(vector, record, levels).ok());
      continue;
    }
    const Snapshot before = snapshot(index);
    for (long n = 0;; ++n) {
      allocations_before_failure = n;
      bool failed = false;
      try {
        ASSERT_TRUE(index.insert(vector, record, levels).ok());
      } catch (const std::bad_alloc&) {
        failed = true;
      }
      allocations_before_failure = -1;
      if (!failed) break;
      ++failures;
      ASSERT_TRUE(snapshot(index) == before) << "insertion " << k << ", allocation " << n << " failing";
    }
  }
  EXPECT_GT(failures, 40);
  EXPECT_TRUE(snapshot(index) == snapshot(twin));
}

INSTANTIATE_TEST_SUITE_P(DescribedAndPruned, InsertFailure, ::testing::Bool());

}  // namespace
}  // namespace tamsel
