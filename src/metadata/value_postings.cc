#include "metadata/value_postings.h"

#include <cmath>
#include <functional>
#include <string_view>

namespace tamsel {

std::size_t ValuePostings::Hash::operator()(const Metadata& value) const {
  if (const auto* text = std::get_if<std::string>(&value)) return std::hash<std::string_view>{}(*text);
  if (const auto* integer = std::get_if<std::int64_t>(&value)) return std::hash<std::int64_t>{}(*integer) ^ 0x1;
  const double number = std::get<double>(value);
  // -0.0 equals 0.0, so both hash as 0.0.
  return std::hash<double>{}(number == 0.0 ? 0.0 : number) ^ 0x2;
}

void ValuePostings::add(std::uint32_t node, const std::vector<Metadata>& record) {
  std::size_t done = 0;
  try {
    for (; done < attributes_.size(); ++done) {
      const Metadata& value = record[done];
      if (const auto* number = std::get_if<double>(&value); number != nullptr && std::isnan(*number)) continue;
      attributes_[done][value].push_back(node);
    }
  } catch (...) {
    // Take the node back out of the lists it joined.
    for (std::size_t i = 0; i < done; ++i) {
      const auto found = attributes_[i].find(record[i]);
      if (found != attributes_[i].end() && !found->second.empty() && found->second.back() == node) {
        found->second.pop_back();
      }
    }
    throw;
  }
}

void ValuePostings::remove_last(std::uint32_t node, const MetadataStore& store) {
  for (std::size_t i = 0; i < attributes_.size(); ++i) {
    const Metadata* value = store.value(node, i);
    if (value == nullptr) return;  // stored without a record
    const auto found = attributes_[i].find(*value);
    if (found != attributes_[i].end() && !found->second.empty() && found->second.back() == node) {
      found->second.pop_back();
    }
  }
}

std::span<const std::uint32_t> ValuePostings::nodes(std::size_t position, const Metadata& value) const {
  const Postings& postings = attributes_[position];
  const auto found = postings.find(value);
  if (found == postings.end()) return {};
  return found->second;
}

}  // namespace tamsel
