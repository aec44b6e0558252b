#include "metadata/metadata.h"

#include <algorithm>
#include <iterator>

#include "common/reserve.h"
#include "common/panic.h"

namespace tamsel {

void MetadataStore::reserve_node(bool with_record) {
  reserve_more(record_starts_, 1);
  if (with_record) reserve_more(values_, schema_size_);
}

void MetadataStore::append_record(std::vector<Metadata> record) {
  check_invariant(record.size() == schema_size_, "a metadata record whose size is not the schema's");
  reserve_node(true);
  const std::size_t start = values_.size();
  values_.insert(values_.end(), std::make_move_iterator(record.begin()), std::make_move_iterator(record.end()));
  record_starts_.push_back(start);
}

void MetadataStore::append_without_record() {
  reserve_node(false);
  record_starts_.push_back(kNoRecord);
}

void MetadataStore::remove_last_node() {
  const std::size_t start = record_starts_.back();
  if (start != kNoRecord) values_.erase(values_.begin() + static_cast<std::ptrdiff_t>(start), values_.end());
  record_starts_.pop_back();
}

}  // namespace tamsel
