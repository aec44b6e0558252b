#include "hnsw/graph.h"

#include <algorithm>
#include <bit>
#include <limits>
#include <stdexcept>

namespace tamsel {

namespace {

constexpr std::uint32_t kSmallestBlock = 4;

// Blocks have power-of-two capacities; class c holds kSmallestBlock << c.
std::size_t capacity_class(std::uint32_t capacity) {
  return static_cast<std::size_t>(std::countr_zero(capacity / kSmallestBlock));
}

}  // namespace

void Graph::reserve_node(std::uint32_t top_layer) {
  if (first_list_.size() == first_list_.capacity()) first_list_.reserve(first_list_.size() * 2 + 1);
  const std::size_t lists = lists_.size() + std::size_t{top_layer} + 1;
  if (lists > lists_.capacity()) lists_.reserve(std::max(lists, lists_.capacity() * 2));
}

void Graph::add_node(std::uint32_t top_layer) {
  first_list_.push_back(lists_.size());
  lists_.resize(lists_.size() + std::size_t{top_layer} + 1);
}

void Graph::grow(List& list) {
  if (list.capacity > std::numeric_limits<std::uint32_t>::max() / 2) throw std::length_error("neighbour list too long");
  const std::uint32_t capacity = list.capacity == 0 ? kSmallestBlock : list.capacity * 2;
  const std::size_t wanted_class = capacity_class(capacity);
  std::uint64_t offset;
  if (wanted_class < free_blocks_.size() && !free_blocks_[wanted_class].empty()) {
    offset = free_blocks_[wanted_class].back();
    free_blocks_[wanted_class].pop_back();
  } else {
    offset = arena_.size();
    arena_.resize(arena_.size() + capacity);
  }
  std::copy_n(arena_.begin() + static_cast<std::ptrdiff_t>(list.offset), list.size,
              arena_.begin() + static_cast<std::ptrdiff_t>(offset));
  if (list.capacity != 0) {
    const std::size_t old_class = capacity_class(list.capacity);
    if (free_blocks_.size() <= old_class) free_blocks_.resize(old_class + 1);
    free_blocks_[old_class].push_back(list.offset);
  }
  list.offset = offset;
  list.capacity = capacity;
}

void Graph::append(NodeId32 node, NodeId32 neighbor, std::uint32_t neighbor_level) {
  const std::uint32_t last = std::min(neighbor_level, top_layer(node));
  for (std::uint32_t layer = 0; layer <= last; ++layer) {
    List& list = lists_[first_list_[node] + layer];
    if (list.size == list.capacity) grow(list);
    arena_[list.offset + list.size++] = neighbor;
  }
}

std::size_t Graph::memory_bytes() const {
  std::size_t bytes = arena_.capacity() * sizeof(NodeId32) + lists_.capacity() * sizeof(List) +
                      first_list_.capacity() * sizeof(std::uint64_t);
  for (const auto& blocks : free_blocks_) bytes += blocks.capacity() * sizeof(std::uint64_t);
  return bytes;
}

}  // namespace tamsel
