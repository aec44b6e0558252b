// VectorBatch: a list of vectors stored end to end in one array of floats,
// so that a batch of any size costs two allocations. Rows may differ in
// length; row i runs from ends[i-1] (0 for the first) to ends[i].
#pragma once

#include <cstddef>
#include <span>
#include <vector>

namespace tamsel {

class VectorBatch {
 public:
  std::size_t size() const { return ends_.size(); }
  bool empty() const { return ends_.empty(); }

  std::span<const double> operator[](std::size_t row) const {
    std::size_t begin = row == 0 ? 0 : ends_[row - 1];
    return std::span<const double>(values_.data() + begin, ends_[row] - begin);
  }

  void reserve(std::size_t rows, std::size_t values) {
    ends_.reserve(rows);
    values_.reserve(values);
  }

  // Rows are built by appending their values and then closing the row.
  void push_value(double value) { values_.push_back(value); }
  void append_values(std::span<const double> values) { values_.insert(values_.end(), values.begin(), values.end()); }
  void end_row() { ends_.push_back(values_.size()); }
  // Drops the values pushed since the last closed row.
  void abandon_row() { values_.resize(ends_.empty() ? 0 : ends_.back()); }

 private:
  std::vector<double> values_;
  std::vector<std::size_t> ends_;
};

}  // namespace tamsel
