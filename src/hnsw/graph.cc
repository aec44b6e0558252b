#include "hnsw/graph.h"

#include <algorithm>
#include <array>
#include <limits>
#include <new>
#include <stdexcept>

#include "common/panic.h"
#include "common/reserve.h"

namespace tamsel {

namespace {

constexpr std::size_t kNarrowNodes = std::size_t{1} << 16;

// Block capacities: class 0 is no block; class c >= 1 holds about 4 * 1.5^(c-1)
// identifiers, so a list never has more than half its size spare.
constexpr std::size_t kSizeClasses = 56;
constexpr std::array<std::uint64_t, kSizeClasses> kBlockCapacity = [] {
  std::array<std::uint64_t, kSizeClasses> capacities{};
  std::uint64_t capacity = 4;
  for (std::size_t c = 1; c < kSizeClasses; ++c) {
    capacities[c] = capacity;
    capacity += (capacity + 1) / 2;
  }
  return capacities;
}();
static_assert(kBlockCapacity[kSizeClasses - 1] > std::numeric_limits<std::uint32_t>::max());


}  // namespace

void Graph::reserve_node(std::uint32_t top_layer) {
  reserve_more(first_list_, 1);
  reserve_more(lists_, std::size_t{top_layer} + 1);
  if (!wide_ && first_list_.size() >= kNarrowNodes) widen();
}

void Graph::add_node(std::uint32_t top_layer) {
  if (!wide_ && first_list_.size() >= kNarrowNodes) widen();
  first_list_.push_back(lists_.size());
  lists_.resize(lists_.size() + std::size_t{top_layer} + 1);
}

void Graph::widen() {
  wide_arena_.assign(narrow_arena_.begin(), narrow_arena_.end());
  narrow_arena_ = {};
  wide_ = true;
}

std::vector<NodeId32> Graph::list(NodeId32 node, std::uint32_t layer) const {
  return with_list(node, layer, [](auto ids) { return std::vector<NodeId32>(ids.begin(), ids.end()); });
}

void Graph::grow(List& list) {
  const std::size_t size_class = list.size_class + 1;
  if (size_class >= kSizeClasses || kBlockCapacity[size_class] > std::numeric_limits<std::uint32_t>::max()) {
    throw std::length_error("neighbour list too long");
  }
  const std::size_t capacity = kBlockCapacity[size_class];
  std::uint64_t offset;
  if (size_class < free_blocks_.size() && !free_blocks_[size_class].empty()) {
    offset = free_blocks_[size_class].back();
    free_blocks_[size_class].pop_back();
  } else {
    offset = slots();
    if (wide_) {
      reserve_more(wide_arena_, capacity);
      wide_arena_.resize(offset + capacity);
    } else {
      reserve_more(narrow_arena_, capacity);
      narrow_arena_.resize(offset + capacity);
    }
  }
  if (list.size_class != 0) free_block(list.size_class, list.offset);  // may fail: the list still stands where it was
  const auto move = [&](auto& arena) {
    std::copy_n(arena.begin() + static_cast<std::ptrdiff_t>(list.offset), list.size,
                arena.begin() + static_cast<std::ptrdiff_t>(offset));
  };
  if (wide_) {
    move(wide_arena_);
  } else {
    move(narrow_arena_);
  }
  list.offset = offset;
  list.size_class = static_cast<std::uint32_t>(size_class);
}

void Graph::free_block(std::uint32_t size_class, std::uint64_t offset) {
  if (free_blocks_.size() <= size_class) free_blocks_.resize(size_class + 1);
  free_blocks_[size_class].push_back(offset);
}

void Graph::append(NodeId32 node, NodeId32 neighbor, std::uint32_t neighbor_level) {
  const std::uint32_t last = std::min(neighbor_level, top_layer(node));
  // Every list gets its room before any is written, so that a failure
  // leaves all of them as they were. A list that moved holds the same.
  for (std::uint32_t layer = 0; layer <= last; ++layer) {
    List& list = lists_[first_list_[node] + layer];
    if (list.size == kBlockCapacity[list.size_class]) grow(list);
  }
  for (std::uint32_t layer = 0; layer <= last; ++layer) {
    List& list = lists_[first_list_[node] + layer];
    if (wide_) {
      wide_arena_[list.offset + list.size] = neighbor;
    } else {
      narrow_arena_[list.offset + list.size] = static_cast<std::uint16_t>(neighbor);
    }
    ++list.size;
  }
}

void Graph::remove_last(NodeId32 node, NodeId32 neighbor, std::uint32_t neighbor_level) {
  const std::uint32_t last = std::min(neighbor_level, top_layer(node));
  for (std::uint32_t layer = 0; layer <= last; ++layer) {
    List& list = lists_[first_list_[node] + layer];
    check_invariant(list.size > 0 && with_list(node, layer, [](auto ids) { return NodeId32{ids.back()}; }) == neighbor,
                    "removal of a link that is not the last of its list");
    --list.size;
  }
}

void Graph::remove_last_node() {
  const std::size_t first = first_list_.back();
  for (std::size_t i = first; i < lists_.size(); ++i) {
    if (lists_[i].size_class == 0) continue;
    try {
      free_block(lists_[i].size_class, lists_[i].offset);
    } catch (const std::bad_alloc&) {
      // Not listed for reuse, the block stays unused: only room is lost.
    }
  }
  lists_.resize(first);
  first_list_.pop_back();
}

std::size_t Graph::entries() const {
  std::size_t total = 0;
  for (const List& list : lists_) total += list.size;
  return total;
}

std::size_t Graph::memory_bytes() const {
  std::size_t bytes = narrow_arena_.capacity() * sizeof(std::uint16_t) +
                      wide_arena_.capacity() * sizeof(std::uint32_t) + lists_.capacity() * sizeof(List) +
                      first_list_.capacity() * sizeof(std::uint64_t);
  for (const auto& blocks : free_blocks_) bytes += blocks.capacity() * sizeof(std::uint64_t);
  return bytes;
}

}  // namespace tamsel
