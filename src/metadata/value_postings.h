// ValuePostings: for each schema attribute and each value stored under it,
// the nodes that hold that value, in insertion order. Equality filters use
// it to count the nodes that pass before they choose how to search, and to
// scan exactly those nodes.
//
// Values match as filters test them (metadata_equal): the same variant and
// an equal value, 0.0 and -0.0 alike; NaN matches nothing and is not kept.
//
// Thread safety: const methods only read; add() needs exclusive access.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <unordered_map>
#include <vector>

#include "metadata/metadata.h"

namespace tamsel {

class ValuePostings {
 public:
  explicit ValuePostings(std::size_t schema_size = 0) : attributes_(schema_size) {}

  // Records that `node` holds `record` (schema_size values). On an
  // allocation failure it throws and leaves the postings as they were.
  void add(std::uint32_t node, const std::vector<Metadata>& record);

  // Takes back add() of `node`, the last node added, whose record `store`
  // holds. Allocates nothing.
  void remove_last(std::uint32_t node, const MetadataStore& store);

  // The nodes whose value at schema position `position` equals `value`.
  std::span<const std::uint32_t> nodes(std::size_t position, const Metadata& value) const;

 private:
  struct Hash {
    std::size_t operator()(const Metadata& value) const;
  };
  struct Equal {
    bool operator()(const Metadata& x, const Metadata& y) const { return metadata_equal(x, y); }
  };
  using Postings = std::unordered_map<Metadata, std::vector<std::uint32_t>, Hash, Equal>;

  std::vector<Postings> attributes_;
};

}  // namespace tamsel
