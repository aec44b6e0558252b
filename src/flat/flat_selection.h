// FlatSelection: the best `wanted` (identifier, value) pairs of a scan,
// kept in a bounded heap while scored values are offered in identifier
// order. The ranking is a total order, so the heap selects exactly what
// ranking every pair would.
//
// Thread-safety: one selection belongs to one scan.
#pragma once

#include <algorithm>
#include <cstddef>
#include <limits>
#include <vector>

#include "flat/flat.h"
#include "metric/metric.h"

namespace tamsel {

class FlatSelection {
 public:
  FlatSelection(std::size_t wanted, std::vector<FlatHit>* hits) : wanted_(wanted), hits_(hits) {
    hits_->clear();
    hits_->reserve(wanted);
  }

  // The value a new pair must rank strictly before to enter: the worst kept
  // once the heap is full, NaN (no bound) before.
  double bound() const {
    return hits_->size() == wanted_ ? hits_->front().value : std::numeric_limits<double>::quiet_NaN();
  }

  // Offers the pairs (first_id + i, values[i]) for i < count, in order.
  void offer(std::size_t first_id, const double* values, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) offer_one(FlatHit{first_id + i, values[i]});
  }

  // Sorts the kept pairs, best first.
  void finish() { std::sort_heap(hits_->begin(), hits_->end(), ranks_before); }

 private:
  // Heap order that keeps the worst of the selected pairs on top.
  static bool ranks_before(const FlatHit& x, const FlatHit& y) {
    return pair_ranks_before(x.value, x.id, y.value, y.id);
  }

  void offer_one(const FlatHit& hit) {
    if (hits_->size() < wanted_) {
      hits_->push_back(hit);
      std::push_heap(hits_->begin(), hits_->end(), ranks_before);
    } else if (ranks_before(hit, hits_->front())) {
      std::pop_heap(hits_->begin(), hits_->end(), ranks_before);
      hits_->back() = hit;
      std::push_heap(hits_->begin(), hits_->end(), ranks_before);
    }
  }

  std::size_t wanted_;
  std::vector<FlatHit>* hits_;
};

}  // namespace tamsel
