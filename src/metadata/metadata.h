// Metadata: one attribute value of a vector in an index with a schema, and
// the store that keeps every node's record of values.
//
// A record holds one value per schema attribute, in schema order. Nodes are
// stored with or without a record; a node without one has no values, and no
// position arithmetic ever reaches into another node's record.
//
// For equality filters the store also keeps, per attribute, a code for each
// node: equal values (metadata_equal) share a code, so that a filter tests
// one integer per node instead of comparing values. A node without a record,
// and a NaN, which equals nothing, have kNoValue, which no filter looks for.
//
// Thread safety: the const members are safe for concurrent readers; the
// others need exclusive access.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <unordered_map>
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
  explicit MetadataStore(std::size_t schema_size = 0)
      : schema_size_(schema_size), codes_(schema_size), codes_by_hash_(schema_size), record_codes_(schema_size) {
    new_codes_.reserve(schema_size);
  }

  std::size_t schema_size() const { return schema_size_; }
  std::size_t node_count() const { return record_starts_.size(); }

  // Makes room for the next node, with `record` or without one (null), so
  // that the append that follows, with the same record, cannot fail.
  // Reserving again abandons the earlier reservation.
  void reserve_node(const std::vector<Metadata>* record);
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

  static constexpr std::uint32_t kNoValue = 0;
  // The codes of every node at schema position `position`, by node.
  const std::uint32_t* codes(std::size_t position) const { return codes_[position].data(); }
  // The code of the nodes whose value at `position` equals `value`; when
  // none does, a code that no node has.
  std::uint32_t code_of(std::size_t position, const Metadata& value) const;

 private:
  static constexpr std::size_t kNoRecord = static_cast<std::size_t>(-1);

  std::size_t schema_size_;
  std::vector<Metadata> values_;
  std::vector<std::size_t> record_starts_;  // per node; kNoRecord if none

  static constexpr std::uint32_t kNoMatch = static_cast<std::uint32_t>(-1);
  enum class Reserved { Nothing, WithRecord, WithoutRecord };
  struct NewCode {
    std::size_t position;
    std::uint64_t hash;
    std::uint32_t code;
  };

  // The code of an equal value stored at `position`, or kNoValue.
  std::uint32_t find_code(std::size_t position, const Metadata& value, std::uint64_t hash) const;
  // Finds or makes the codes of the record's values, into record_codes_.
  void intern(const std::vector<Metadata>& record);
  // Takes back the codes made for a reservation that no append followed.
  void forget_new_codes();
  // Drops `code` from the codes by hash at `position`.
  void forget_code(std::size_t position, std::uint64_t hash, std::uint32_t code);

  // Per position: the codes by node, and the codes by value hash.
  std::vector<std::vector<std::uint32_t>> codes_;
  std::vector<std::unordered_multimap<std::uint64_t, std::uint32_t>> codes_by_hash_;
  std::vector<std::size_t> code_values_;  // by code - 1: where a value with it is stored
  // The reservation for the next append: the record's codes, and the codes
  // made for it (their values are stored by the append).
  Reserved reserved_ = Reserved::Nothing;
  std::vector<std::uint32_t> record_codes_;
  std::vector<NewCode> new_codes_;
};

}  // namespace tamsel
