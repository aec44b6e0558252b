#include "flat/flat.h"

#include <algorithm>

#include "common/panic.h"

namespace tamsel {

const char* flat_error_name(FlatError error) {
  switch (error) {
    case FlatError::EmptyIndex:
      return "EmptyIndex";
    case FlatError::EmptyVectors:
      return "EmptyVectors";
  }
  return "?";
}

void Flat::insert(std::span<const double> values) {
  check_invariant(values.size() == dim_, "flat insert of a vector whose length is not the index dimension");
  vectors_.insert(vectors_.end(), values.begin(), values.end());
}

Status<FlatError> Flat::create(const VectorBatch& batch) {
  if (batch.empty()) return FlatError::EmptyVectors;
  for (std::size_t row = 0; row < batch.size(); ++row) {
    check_invariant(batch[row].size() == dim_, "flat create of a vector whose length is not the index dimension");
  }
  vectors_.reserve(vectors_.size() + batch.size() * dim_);
  for (std::size_t row = 0; row < batch.size(); ++row) insert(batch[row]);
  return Status<FlatError>::Ok();
}

namespace {

// Heap order that keeps the worst of the selected pairs on top.
bool hit_ranks_before(const FlatHit& x, const FlatHit& y) { return pair_ranks_before(x.value, x.id, y.value, y.id); }

}  // namespace

Status<FlatError> Flat::search(std::span<const double> query, std::uint32_t k, std::vector<FlatHit>* hits) const {
  if (vectors_.empty()) return FlatError::EmptyIndex;
  const std::size_t count = size();
  // The ranking is a total order, so keeping the best `wanted` pairs in a
  // bounded heap selects exactly what ranking all of them would.
  const std::size_t wanted = std::min<std::size_t>(std::max<std::uint32_t>(k, 1), count);
  hits->clear();
  hits->reserve(wanted);
  for (std::size_t id = 0; id < count; ++id) {
    const FlatHit hit{id, metric_(query, vector(id))};
    if (hits->size() < wanted) {
      hits->push_back(hit);
      std::push_heap(hits->begin(), hits->end(), hit_ranks_before);
    } else if (hit_ranks_before(hit, hits->front())) {
      std::pop_heap(hits->begin(), hits->end(), hit_ranks_before);
      hits->back() = hit;
      std::push_heap(hits->begin(), hits->end(), hit_ranks_before);
    }
  }
  std::sort_heap(hits->begin(), hits->end(), hit_ranks_before);
  return Status<FlatError>::Ok();
}

}  // namespace tamsel
