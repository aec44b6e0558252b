// Graph: the adjacency of the HNSW index, kept per layer so that a search of
// layer i never touches neighbours that do not belong to it.
//
// Each node has one list per layer from 0 to its top layer (its level, capped
// at the highest level any other node can have). The list of layer j holds,
// in the order they were first linked, the node's neighbours whose level is
// at least j. A neighbour appears once, and a node never lists itself.
//
// All lists live in one arena. A list that outgrows its block moves to a
// block half as large again; the block it leaves is reused by the next list
// of that size, so appending costs amortised constant time and nothing is
// allocated per node. While the graph has at most 65536 nodes the arena
// holds 16-bit identifiers, which halves the memory that searches stream
// through; it widens to 32 bits once, when the 65537th node arrives.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "common/huge_page_allocator.h"
#include "common/prefetch.h"

namespace tamsel {

using NodeId32 = std::uint32_t;

class Graph {
 public:
  // Makes room for the next node, so that add_node cannot fail.
  void reserve_node(std::uint32_t top_layer);
  // Adds the next node with lists for layers 0 .. top_layer.
  void add_node(std::uint32_t top_layer);

  std::size_t node_count() const { return first_list_.size(); }
  std::uint32_t top_layer(NodeId32 node) const {
    return static_cast<std::uint32_t>(list_end(node) - first_list_[node] - 1);
  }

  // Calls `fn` with the node's list for `layer` (at most its top layer), as
  // a span of 16-bit or of 32-bit identifiers, and returns what it returns.
  template <class Fn>
  decltype(auto) with_list(NodeId32 node, std::uint32_t layer, Fn&& fn) const {
    const List& l = lists_[first_list_[node] + layer];
    if (wide_) return fn(std::span<const std::uint32_t>(wide_arena_.data() + l.offset, l.size));
    return fn(std::span<const std::uint16_t>(narrow_arena_.data() + l.offset, l.size));
  }

  // A hint ahead of appends to scattered nodes: asks for the node's layer-0
  // descriptor, the first thing append reads. It changes nothing.
  TAMSEL_PREFETCH_HELPER void prefetch_descriptor(NodeId32 node) const {
    __builtin_prefetch(&lists_[first_list_[node]], 1);
  }

  // A copy of the node's list for `layer`.
  std::vector<NodeId32> list(NodeId32 node, std::uint32_t layer) const;

  // Appends `neighbor`, whose level is `neighbor_level`, to the node's lists
  // of layers 0 .. min(neighbor_level, top layer). The caller makes sure it
  // is not listed yet and is not the node itself. On failure (no room) no
  // list has changed.
  void append(NodeId32 node, NodeId32 neighbor, std::uint32_t neighbor_level);

  // Undoing a failed insertion, in reverse order of what it did; neither
  // fails. remove_last takes back the append of `neighbor` to the node's
  // lists, where it must be last (a Panic otherwise); remove_last_node
  // drops the last node added, whose blocks go back for reuse.
  void remove_last(NodeId32 node, NodeId32 neighbor, std::uint32_t neighbor_level);
  void remove_last_node();

  // Identifiers held in all lists, and arena slots reserved for them.
  std::size_t entries() const;
  std::size_t slots() const { return wide_ ? wide_arena_.size() : narrow_arena_.size(); }
  // Bytes held: the arena with its spare room, and the list descriptors.
  std::size_t memory_bytes() const;

 private:
  struct List {
    std::uint64_t offset = 0;
    std::uint32_t size = 0;
    std::uint32_t size_class = 0;  // its block holds block_capacity(size_class); none yet at 0
  };

  std::size_t list_end(NodeId32 node) const {
    return node + 1 < first_list_.size() ? first_list_[node + 1] : lists_.size();
  }
  void grow(List& list);
  void free_block(std::uint32_t size_class, std::uint64_t offset);
  void widen();

  bool wide_ = false;
  std::vector<std::uint16_t, HugePageAllocator<std::uint16_t>> narrow_arena_;
  std::vector<std::uint32_t, HugePageAllocator<std::uint32_t>> wide_arena_;
  std::vector<List> lists_;
  std::vector<std::uint64_t> first_list_;                // per node, its layer-0 list in lists_
  std::vector<std::vector<std::uint64_t>> free_blocks_;  // by size class
};

}  // namespace tamsel
