// VectorBatch: a list of vectors stored end to end in one array of floats,
// so that a batch of any size costs two allocations. Rows may differ in
// length; row i runs from ends[i-1] (0 for the first) to ends[i].
//
// A batch can also be a view of rows of equal length that someone else owns
// (a caller's array); the owner keeps them alive and unchanged while the
// view is used, and calls own() before anything could change them.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

namespace tamsel {

class VectorBatch {
 public:
  // A view of `rows` rows of `columns` values each, stored row after row.
  static VectorBatch view(const double* values, std::size_t rows, std::size_t columns) {
    VectorBatch batch;
    batch.is_view_ = true;
    batch.view_ = values;
    batch.view_rows_ = rows;
    batch.view_columns_ = columns;
    return batch;
  }

  std::size_t size() const { return is_view_ ? view_rows_ : ends_.size(); }
  bool empty() const { return size() == 0; }

  std::span<const double> operator[](std::size_t row) const {
    if (is_view_) return {(view_owned_ ? values_.data() : view_) + row * view_columns_, view_columns_};
    std::size_t begin = row == 0 ? 0 : ends_[row - 1];
    return std::span<const double>(values_.data() + begin, ends_[row] - begin);
  }

  // The first row whose length is not `length`, or size() when every row has
  // it. Constant time for a view, whose rows all have one length: a view of
  // a zero-width array can claim more rows than could ever be walked.
  std::size_t first_row_not_of_length(std::size_t length) const {
    if (is_view_) return view_columns_ == length ? view_rows_ : 0;
    for (std::size_t row = 0; row < ends_.size(); ++row) {
      if ((*this)[row].size() != length) return row;
    }
    return ends_.size();
  }

  // Copies the rows of a view into the batch's own storage. They stay rows
  // of one length, so that the copy costs their values and nothing per row:
  // a view of a zero-width array can claim any number of rows.
  void own() {
    if (!is_view_ || view_owned_) return;
    values_.assign(view_, view_ + view_rows_ * view_columns_);
    view_owned_ = true;
  }

  void reserve(std::size_t rows, std::size_t values) {
    ends_.reserve(rows);
    values_.reserve(values);
  }

  // Rows are built by appending their values and then closing the row.
  void push_value(double value) { values_.push_back(value); }
  void end_row() { ends_.push_back(values_.size()); }

 private:
  std::vector<double> values_;
  std::vector<std::size_t> ends_;
  bool is_view_ = false;
  bool view_owned_ = false;  // the view's rows were copied into values_
  const double* view_ = nullptr;
  std::size_t view_rows_ = 0;
  std::size_t view_columns_ = 0;
};

}  // namespace tamsel
