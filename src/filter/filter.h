// Filter: restricts a search to the nodes whose value of one schema
// attribute passes a test. The only test built is equality with one value
// captured when the filter is made. Indexes may test it through the codes of
// their metadata store instead of calling passes(); both agree.
#pragma once

#include <string>

#include "metadata/metadata.h"

namespace tamsel {

struct Filter {
  std::string attribute;
  Metadata value;  // the value a passing node's attribute equals

  bool passes(const Metadata& stored) const { return metadata_equal(stored, value); }
};

// A filter that passes the nodes whose value of `attribute` equals `value`
// (metadata_equal: same variant, equal value).
Filter make_equality_filter(std::string attribute, Metadata value);

}  // namespace tamsel
