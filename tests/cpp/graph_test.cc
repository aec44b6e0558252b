#include <gtest/gtest.h>

#include <random>

#include "hnsw/graph.h"
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
// of every length around the wide steps and both identifier widths.
TEST(RowWalk, KeepsTheUnmarkedEntriesInOrder) {
  std::mt19937_64 rng(14);
  for (int round = 0; round < 300; ++round) {
    const std::size_t nodes = 1 + rng() % 3000, length = rng() % 70;
    std::vector<std::uint8_t> marks(nodes + kMarkPadding);
    const auto mark = static_cast<std::uint8_t>(1 + rng() % 255);
    for (std::size_t n = 0; n < nodes; ++n) marks[n] = rng() % 2 ? mark : static_cast<std::uint8_t>(rng());
    std::vector<std::uint16_t> narrow;
    std::vector<std::uint32_t> wide, want;
    for (std::size_t i = 0; i < length; ++i) {
      const auto node = static_cast<std::uint32_t>(rng() % nodes);
      narrow.push_back(static_cast<std::uint16_t>(node));
      wide.push_back(node);
      if (marks[node] != mark) want.push_back(node);
    }
    std::vector<std::uint32_t> got(length + kFreshPadding);
    got.resize(fresh_entries(std::span<const std::uint16_t>(narrow), marks.data(), mark, got.data()));
    ASSERT_EQ(got, want);
    got.assign(length + kFreshPadding, 0);
    got.resize(fresh_entries(std::span<const std::uint32_t>(wide), marks.data(), mark, got.data()));
    ASSERT_EQ(got, want);
  }
}

}  // namespace
}  // namespace tamsel
