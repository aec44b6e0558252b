#include "filter/filter.h"

#include <utility>

namespace tamsel {

Filter make_equality_filter(std::string attribute, Metadata value) {
  auto predicate = std::make_shared<const std::function<bool(const Metadata&)>>(
      [captured = value](const Metadata& stored) { return metadata_equal(stored, captured); });
  return Filter{std::move(attribute), std::move(predicate), std::move(value)};
}

}  // namespace tamsel
