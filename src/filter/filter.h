// Filter: restricts a search to the nodes whose value of one schema
// attribute passes a test. The only test built is equality with one value
// captured when the filter is made; it is shared and immutable, so a filter
// can be copied and handed to every layer search of a query cheaply.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "metadata/metadata.h"

namespace tamsel {

struct Filter {
  std::string attribute;
  std::shared_ptr<const std::function<bool(const Metadata&)>> predicate;
  // The value an equality filter captured, so that a search can count the
  // nodes that pass before it walks; absent for any other test.
  std::optional<Metadata> equals;

  bool passes(const Metadata& value) const { return (*predicate)(value); }
};

// A filter that passes the nodes whose value of `attribute` equals `value`
// (metadata_equal: same variant, equal value).
Filter make_equality_filter(std::string attribute, Metadata value);

}  // namespace tamsel
