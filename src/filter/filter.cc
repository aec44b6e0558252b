#include "filter/filter.h"

#include <utility>

namespace tamsel {

Filter make_equality_filter(std::string attribute, Metadata value) {
  return Filter{std::move(attribute), std::move(value)};
}

}  // namespace tamsel
