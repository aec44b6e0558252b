#include "metadata/metadata.h"

#include <iterator>

#include "common/panic.h"

namespace tamsel {

void MetadataStore::append_record(std::vector<Metadata> record) {
  check_invariant(record.size() == schema_size_, "a metadata record whose size is not the schema's");
  const std::size_t start = values_.size();
  record_starts_.reserve(record_starts_.size() + 1);  // so that the push below cannot fail after the insert
  values_.insert(values_.end(), std::make_move_iterator(record.begin()), std::make_move_iterator(record.end()));
  record_starts_.push_back(start);
}

void MetadataStore::append_without_record() { record_starts_.push_back(kNoRecord); }

}  // namespace tamsel
