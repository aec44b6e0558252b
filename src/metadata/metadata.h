// Metadata: one attribute value of a vector in an index with a schema, and
// the store that keeps every node's record of values.
//
// A record holds one value per schema attribute, in schema order. Nodes are
// stored with or without a record; a node without one has no values, and no
// position arithmetic ever reaches into another node's record.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <variant>
#include <vector>

namespace tamsel {

// The three variants, in this order: Text, Integer, Float.
using Metadata = std::variant<std::string, std::int64_t, double>;

// Equality as filters test it: the same variant and an equal value; floats
// compare by IEEE equality (NaN equals nothing, 0.0 equals -0.0).
inline bool metadata_equal(const Metadata& x, const Metadata& y) { return x == y; }

class MetadataStore {
 public:
  explicit MetadataStore(std::size_t schema_size = 0) : schema_size_(schema_size) {}

  std::size_t schema_size() const { return schema_size_; }
  std::size_t node_count() const { return record_starts_.size(); }

  // Makes room for the next node, with or without a record, so that the
  // append that follows cannot fail.
  void reserve_node(bool with_record);
  // Appends the next node with its record of schema_size() values.
  void append_record(std::vector<Metadata> record);
  // Appends the next node without a record.
  void append_without_record();
  // Drops the last node appended, with its record (undoing a failed insertion).
  void remove_last_node();

  bool has_record(std::size_t node) const { return record_starts_[node] != kNoRecord; }

  // The value at schema position `position` of the node's record, or null
  // when the node has no record.
  const Metadata* value(std::size_t node, std::size_t position) const {
    const std::size_t start = record_starts_[node];
    return start == kNoRecord ? nullptr : &values_[start + position];
  }

 private:
  static constexpr std::size_t kNoRecord = static_cast<std::size_t>(-1);

  std::size_t schema_size_;
  std::vector<Metadata> values_;
  std::vector<std::size_t> record_starts_;  // per node; kNoRecord if none
};

}  // namespace tamsel
