#include "metadata/metadata.h"

#include <bit>
#include <cmath>
#include <functional>
#include <iterator>
#include <stdexcept>

#include "common/panic.h"
#include "common/reserve.h"

namespace tamsel {

namespace {

// Equal values hash alike: -0.0 as 0.0. Variants hash apart.
std::uint64_t value_hash(const Metadata& value) {
  switch (value.index()) {
    case 0:
      return std::hash<std::string>{}(std::get<0>(value)) * 3;
    case 1:
      return std::hash<std::int64_t>{}(std::get<1>(value)) * 3 + 1;
    default: {
      const double x = std::get<2>(value);
      return std::hash<std::uint64_t>{}(std::bit_cast<std::uint64_t>(x == 0.0 ? 0.0 : x)) * 3 + 2;
    }
  }
}

bool is_nan(const Metadata& value) { return value.index() == 2 && std::isnan(std::get<2>(value)); }

}  // namespace

std::uint32_t MetadataStore::find_code(std::size_t position, const Metadata& value, std::uint64_t hash) const {
  const auto [first, last] = codes_by_hash_[position].equal_range(hash);
  for (auto it = first; it != last; ++it) {
    const std::size_t stored = code_values_[it->second - 1];
    // A code made for a reservation whose append is still to come has no value yet.
    if (stored < values_.size() && metadata_equal(values_[stored], value)) return it->second;
  }
  return kNoValue;
}

std::uint32_t MetadataStore::code_of(std::size_t position, const Metadata& value) const {
  if (is_nan(value)) return kNoMatch;
  const std::uint32_t code = find_code(position, value, value_hash(value));
  return code == kNoValue ? kNoMatch : code;
}

void MetadataStore::forget_code(std::size_t position, std::uint64_t hash, std::uint32_t code) {
  auto [first, last] = codes_by_hash_[position].equal_range(hash);
  for (; first != last; ++first) {
    if (first->second == code) {
      codes_by_hash_[position].erase(first);
      return;
    }
  }
}

void MetadataStore::forget_new_codes() {
  while (!new_codes_.empty()) {
    const NewCode made = new_codes_.back();
    forget_code(made.position, made.hash, made.code);
    code_values_.pop_back();
    new_codes_.pop_back();
  }
}

void MetadataStore::intern(const std::vector<Metadata>& record) {
  for (std::size_t position = 0; position < schema_size_; ++position) {
    const Metadata& value = record[position];
    if (is_nan(value)) {  // equals nothing, so no filter value finds it
      record_codes_[position] = kNoValue;
      continue;
    }
    const std::uint64_t hash = value_hash(value);
    std::uint32_t code = find_code(position, value, hash);
    if (code == kNoValue) {
      if (code_values_.size() + 1 >= kNoMatch) throw std::length_error("the index holds as many values as it can");
      reserve_more(code_values_, 1);
      code = static_cast<std::uint32_t>(code_values_.size() + 1);
      codes_by_hash_[position].emplace(hash, code);  // may fail: nothing else changed yet
      code_values_.push_back(values_.size() + position);
      new_codes_.push_back(NewCode{position, hash, code});
    }
    record_codes_[position] = code;
  }
}

void MetadataStore::reserve_node(const std::vector<Metadata>* record) {
  forget_new_codes();
  reserved_ = Reserved::Nothing;
  reserve_more(record_starts_, 1);
  for (auto& codes : codes_) reserve_more(codes, 1);
  if (record != nullptr) {
    check_invariant(record->size() == schema_size_, "a metadata record whose size is not the schema's");
    reserve_more(values_, schema_size_);
    intern(*record);
  }
  reserved_ = record != nullptr ? Reserved::WithRecord : Reserved::WithoutRecord;
}

void MetadataStore::append_record(std::vector<Metadata> record) {
  check_invariant(record.size() == schema_size_, "a metadata record whose size is not the schema's");
  if (reserved_ != Reserved::WithRecord) reserve_node(&record);
  const std::size_t start = values_.size();
  for (std::size_t position = 0; position < schema_size_; ++position) codes_[position].push_back(record_codes_[position]);
  values_.insert(values_.end(), std::make_move_iterator(record.begin()), std::make_move_iterator(record.end()));
  record_starts_.push_back(start);
  new_codes_.clear();
  reserved_ = Reserved::Nothing;
}

void MetadataStore::append_without_record() {
  if (reserved_ != Reserved::WithoutRecord) reserve_node(nullptr);
  for (auto& codes : codes_) codes.push_back(kNoValue);
  record_starts_.push_back(kNoRecord);
  reserved_ = Reserved::Nothing;
}

void MetadataStore::remove_last_node() {
  forget_new_codes();
  reserved_ = Reserved::Nothing;
  const std::size_t start = record_starts_.back();
  for (auto& codes : codes_) codes.pop_back();
  if (start != kNoRecord) {
    // The codes made for this record stand for values about to go. Codes
    // are made in the order their values are stored, so they are the last.
    while (!code_values_.empty() && code_values_.back() >= start) {
      const std::size_t stored = code_values_.back();
      forget_code(stored - start, value_hash(values_[stored]), static_cast<std::uint32_t>(code_values_.size()));
      code_values_.pop_back();
    }
    values_.erase(values_.begin() + static_cast<std::ptrdiff_t>(start), values_.end());
  }
  record_starts_.pop_back();
}

}  // namespace tamsel
