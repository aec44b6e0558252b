#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <random>
#include <string>

#include "hnsw/graph.h"
#include "hnsw/hnsw.h"
#include "hnsw/rank_key.h"
#include "hnsw/row_walk.h"

namespace tamsel {
namespace {

// The graph against a plain model: one vector per node and layer.
TEST(Graph, ListsMatchAPlainModelAcrossGrowthAndWidening) {
  Graph graph;
  std::vector<std::vector<std::vector<NodeId32>>> model;  // node, layer, entries
  std::vector<std::uint32_t> levels;
  std::mt19937_64 rng(3);
  const auto add = [&](std::uint32_t level) {
    graph.reserve_node(level);
    graph.add_node(level);
    model.emplace_back(level + 1);
    levels.push_back(level);
  };
  const auto link = [&](NodeId32 node, NodeId32 neighbor) {
    graph.append(node, neighbor, levels[neighbor]);
    for (std::uint32_t layer = 0; layer <= std::min(levels[neighbor], levels[node]); ++layer) {
      model[node][layer].push_back(neighbor);
    }
  };
  const auto check = [&](NodeId32 node) {
    for (std::uint32_t layer = 0; layer <= levels[node]; ++layer) {
      ASSERT_EQ(graph.list(node, layer), model[node][layer]) << "node " << node << " layer " << layer;
    }
  };
  // A few hubs with long lists grow through many block sizes, while many
  // short lists recycle the blocks they leave.
  for (NodeId32 node = 0; node < 70000; ++node) {
    add(static_cast<std::uint32_t>(rng() % 3 == 0 ? rng() % 4 : 0));
    if (node == 0) continue;
    link(node, static_cast<NodeId32>(rng() % node));
    link(static_cast<NodeId32>(rng() % std::min<NodeId32>(8, node)), node);
    if (node % 9000 == 0 || node == 65535 || node == 65536 || node == 65537) {
      for (NodeId32 probe = 0; probe < 12; ++probe) check(probe);
      check(node);
    }
  }
  EXPECT_EQ(graph.node_count(), 70000u);
  EXPECT_EQ(graph.top_layer(5), levels[5]);
  std::size_t entries = 0;
  for (const auto& layers : model) {
    for (const auto& list : layers) entries += list.size();
  }
  EXPECT_EQ(graph.entries(), entries);
}

}  // namespace
}  // namespace tamsel

namespace tamsel {
namespace {

// The row walk keeps exactly the unmarked entries, in list order, for lists
// of every length around the wide steps and both identifier widths, in
// every implementation this machine runs.
class RowWalkTest : public ::testing::TestWithParam<RowWalk> {};

TEST_P(RowWalkTest, KeepsTheUnmarkedEntriesInOrder) {
  const RowWalk& walk = GetParam();
  std::mt19937_64 rng(14);
  for (int round = 0; round < 300; ++round) {
    const std::size_t nodes = 1 + rng() % 3000, length = rng() % 70;
    std::vector<std::uint8_t> marks(nodes + kMarkPadding);
    const auto mark = static_cast<std::uint8_t>(1 + rng() % 255);
    // Stale marks are below the search's; the padding may hold any of them.
    for (auto& m : marks) m = rng() % 2 ? mark : static_cast<std::uint8_t>(rng() % mark);
    std::vector<std::uint16_t> narrow;
    std::vector<std::uint32_t> wide, want;
    for (std::size_t i = 0; i < length; ++i) {
      const auto node = static_cast<std::uint32_t>(rng() % nodes);
      narrow.push_back(static_cast<std::uint16_t>(node));
      wide.push_back(node);
      if (marks[node] != mark) want.push_back(node);
    }
    std::vector<std::uint32_t> got(length + kFreshPadding);
    got.resize(walk.narrow(std::span<const std::uint16_t>(narrow), marks.data(), mark, got.data()));
    ASSERT_EQ(got, want);
    got.assign(length + kFreshPadding, 0);
    got.resize(walk.wide(std::span<const std::uint32_t>(wide), marks.data(), mark, got.data()));
    ASSERT_EQ(got, want);
    if (std::string(walk.name) == supported_row_walks().back().name) {  // the one in use
      got.assign(length + kFreshPadding, 0);
      got.resize(fresh_entries(std::span<const std::uint16_t>(narrow), marks.data(), mark, got.data()));
      ASSERT_EQ(got, want);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Supported, RowWalkTest, ::testing::ValuesIn(supported_row_walks().begin(),
                                                                     supported_row_walks().end()),
                         [](const auto& info) { return std::string(info.param.name); });

// Rank keys order exactly as the distance order over every kind of double,
// and place a pair where the plain insertion rule does, among ties, both
// zeros and NaN of any sign or payload.
TEST(RankKey, OrdersAndPlacesAsTheDistanceOrder) {
  const double inf = std::numeric_limits<double>::infinity();
  const std::vector<double> values = {-inf, -1e300, -2.0, -1.0, -std::numeric_limits<double>::denorm_min(), -0.0,
                                      0.0, std::numeric_limits<double>::denorm_min(), 1.0, 1.5, 1e300, inf,
                                      std::numeric_limits<double>::quiet_NaN(), -std::numeric_limits<double>::quiet_NaN(),
                                      std::bit_cast<double>(std::uint64_t{0x7FF0000000000123})};
  for (const double x : values) {
    for (const double y : values) {
      ASSERT_EQ(rank_key(x) < rank_key(y), ranks_before(x, y)) << x << " " << y;
      ASSERT_EQ(rank_key(x) == rank_key(y), ranks_equal(x, y)) << x << " " << y;
    }
  }
  std::mt19937_64 rng(21);
  for (int round = 0; round < 2000; ++round) {
    std::vector<Neighbor> list;
    for (std::size_t i = 0, n = rng() % 12; i < n; ++i) list.push_back({values[rng() % values.size()], i});
    std::stable_sort(list.begin(), list.end(), [](const Neighbor& a, const Neighbor& b) {
      return ranks_before(a.distance, b.distance);
    });
    std::vector<RankedNode> ranked;
    for (const Neighbor& n : list) ranked.push_back({rank_key(n.distance), static_cast<std::uint32_t>(n.id)});
    const double d = values[rng() % values.size()];
    ASSERT_EQ(rank_insertion_position(ranked, rank_key(d)), list.empty() ? 0 : result_insertion_position(list, d));
  }
}

}  // namespace
}  // namespace tamsel
