#include "flat/flat.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>

#include "common/panic.h"
#include "flat/flat_selection.h"
#include "metric/kernels.h"

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

std::vector<double> Flat::vector(std::size_t id) const {
  std::vector<double> values(dim_);
  const std::size_t block = id / kLanes, group = block / kGroupBlocks;
  const double* data = values_.data() + group_start(group) + id % kLanes;
  const std::size_t capacity = group_capacity(group);
  for (std::size_t i = 0; i < dim_; ++i) {
    values[i] = data[slabbed_offset(dim_, capacity, block % kGroupBlocks, i)];
  }
  return values;
}

void Flat::copy_vectors(std::size_t first, std::size_t count, double* out) const {
  check_invariant(first <= size_ && count <= size_ - first, "copy of vectors that are not stored");
  for (std::size_t id = first; id < first + count; ++id, out += dim_) {
    const std::size_t block = id / kLanes, group = block / kGroupBlocks;
    const double* data = values_.data() + group_start(group) + id % kLanes;
    const std::size_t capacity = group_capacity(group);
    for (std::size_t i = 0; i < dim_; ++i) out[i] = data[slabbed_offset(dim_, capacity, block % kGroupBlocks, i)];
  }
}

std::size_t Flat::length_for(std::size_t vectors) const {
  const std::size_t blocks = (vectors + kLanes - 1) / kLanes;
  if (blocks == 0) return 0;
  const std::size_t full_groups = (blocks - 1) / kGroupBlocks;
  return (full_groups * kGroupBlocks + std::bit_ceil(blocks - full_groups * kGroupBlocks)) * kLanes * dim_;
}

void Flat::reserve(std::size_t count) {
  if (dim_ == 0) return;
  expected_ = std::max(expected_, count);
  values_.reserve(length_for(count));
  if (screened_) rounded_.reserve(length_for(count));
  if (kind_ == MetricKind::Cosine) norms_.reserve(count);
}

namespace {

// Moves the slabs of a group of `dim` components from room for `old` blocks
// to room for `capacity`, within an array already long enough. Later slabs
// move further, so moving the last first overwrites nothing still to be
// moved; the room each slab gains is cleared.
template <class T>
void spread_slabs(T* group, std::size_t dim, std::size_t old, std::size_t capacity) {
  for (std::size_t slab = (dim - 1) / kCheckpoint + 1; slab-- > 0;) {
    const std::size_t width = slab_width(dim, slab);
    T* from = group + slabbed_offset(dim, old, 0, slab * kCheckpoint);
    T* to = group + slabbed_offset(dim, capacity, 0, slab * kCheckpoint);
    std::memmove(to, from, old * kLanes * width * sizeof(T));
    std::fill(to + old * kLanes * width, to + capacity * kLanes * width, T{0});
  }
}

}  // namespace

void Flat::grow_last_group(std::size_t capacity) {
  const std::size_t start = group_start(group_count_ - 1);
  values_.resize(start + capacity * kLanes * dim_, 0.0);
  if (screened_) rounded_.resize(values_.size(), 0.0f);
  spread_slabs(values_.data() + start, dim_, last_capacity_, capacity);
  if (screened_) spread_slabs(rounded_.data() + start, dim_, last_capacity_, capacity);
  last_capacity_ = capacity;
}

void Flat::append(std::span<const double> values, std::size_t coming) {
  check_invariant(values.size() == dim_, "flat insert of a vector whose length is not the index dimension");
  if (dim_ == 0) return;  // an empty vector stores nothing
  const std::size_t block = size_ / kLanes, in_group = block % kGroupBlocks;
  if (size_ % kLanes == 0) {
    // Room for the blocks still coming (in this call, or as reserved),
    // rounded up to a power of two.
    coming = std::max(coming, expected_ > size_ ? expected_ - size_ : 0);
    const std::size_t wanted =
        std::min(kGroupBlocks, std::bit_ceil(in_group + (coming + kLanes - 1) / kLanes));
    if (in_group == 0) {
      values_.resize(block * kLanes * dim_ + wanted * kLanes * dim_, 0.0);
      if (screened_) rounded_.resize(values_.size(), 0.0f);
      ++group_count_;
      last_capacity_ = wanted;
    } else if (in_group == last_capacity_) {
      grow_last_group(std::max(wanted, std::min(kGroupBlocks, 2 * last_capacity_)));
    }
  }
  if (kind_ == MetricKind::Cosine) norms_.push_back(squared_norm(values));
  const std::size_t start = group_start(group_count_ - 1) + size_ % kLanes;
  for (std::size_t i = 0; i < dim_; ++i) {
    const std::size_t at = start + slabbed_offset(dim_, last_capacity_, in_group, i);
    values_[at] = values[i];
    if (screened_) rounded_[at] = rounded_component(values[i]);
  }
  ++size_;
}

Status<FlatError> Flat::create(const VectorBatch& batch) {
  NoCheckpoint never;
  bool completed;
  return create(batch, never, &completed);
}

void Flat::truncate(std::size_t size) {
  if (size >= size_) return;
  if (kind_ == MetricKind::Cosine) norms_.resize(size);
  if (size == 0) {
    values_.clear();
    rounded_.clear();
    group_count_ = 0;
    last_capacity_ = 0;
    size_ = 0;
    return;
  }
  const std::size_t groups = ((size + kLanes - 1) / kLanes + kGroupBlocks - 1) / kGroupBlocks;
  const std::size_t last = groups - 1;
  const std::size_t capacity = group_capacity(last);
  group_count_ = groups;
  last_capacity_ = capacity;
  values_.resize(group_start(last) + capacity * kLanes * dim_);
  if (screened_) rounded_.resize(values_.size());
  // The components of the dropped vectors in the last group back to 0.0, as
  // append found them.
  const std::size_t end = std::min(size_, (last * kGroupBlocks + capacity) * kLanes);
  for (std::size_t id = size; id < end; ++id) {
    const std::size_t in_group = id / kLanes % kGroupBlocks;
    const std::size_t start = group_start(last) + id % kLanes;
    for (std::size_t i = 0; i < dim_; ++i) {
      const std::size_t at = start + slabbed_offset(dim_, capacity, in_group, i);
      values_[at] = 0.0;
      if (screened_) rounded_[at] = 0.0f;
    }
  }
  size_ = size;
}

Status<FlatError> Flat::create(const VectorBatch& batch, Checkpoint& checkpoint, bool* completed) {
  *completed = true;
  if (batch.empty()) return FlatError::EmptyVectors;
  check_invariant(batch.first_row_not_of_length(dim_) == batch.size(),
                  "flat create of a vector whose length is not the index dimension");
  if (dim_ == 0) return Status<FlatError>::Ok();  // empty vectors store nothing, however many
  values_.reserve(length_for(size_ + batch.size()));
  if (screened_) rounded_.reserve(length_for(size_ + batch.size()));
  if (kind_ == MetricKind::Cosine) norms_.reserve(size_ + batch.size());
  const std::size_t size_before = size_;
  constexpr std::size_t kRowsPerLook = 1024;
  for (std::size_t row = 0; row < batch.size(); ++row) {
    if (row % kRowsPerLook == 0 && !checkpoint.keep_going()) {
      truncate(size_before);
      *completed = false;
      return Status<FlatError>::Ok();
    }
    append(batch[row], batch.size() - row);
  }
  return Status<FlatError>::Ok();
}

Flat::Query Flat::prepare(std::span<const double> query) const {
  return Query{query, kind_ == MetricKind::Cosine ? squared_norm(query) : 0.0};
}

void Flat::score_blocks(const Query& query, std::size_t first_block, std::size_t count, double bound,
                        double* values) const {
  score_runs(query, first_block, count, bound, values, true);
}

void Flat::score_blocks_unscreened(const Query& query, std::size_t first_block, std::size_t count, double bound,
                                   double* values) const {
  score_runs(query, first_block, count, bound, values, false);
}

void Flat::score_runs(const Query& query, std::size_t first_block, std::size_t count, double bound, double* values,
                      bool rounded) const {
  // A run may cross groups: each group's part is scored on its own.
  while (count > 0) {
    const std::size_t group = first_block / kGroupBlocks, first = first_block % kGroupBlocks;
    const std::size_t run = std::min(count, kGroupBlocks - first);
    score_blocks(query.values, query.squared_norm, group, first, run, bound, values, rounded);
    first_block += run;
    count -= run;
    values += run * kLanes;
  }
}

void Flat::score_blocks(std::span<const double> query, double query_squared_norm, std::size_t group,
                        std::size_t first, std::size_t count, double bound, double* values, bool rounded) const {
  const double* data = values_.data() + group_start(group);
  const std::size_t capacity = group_capacity(group);
  const BatchKernels& kernels = batch_kernels();
  switch (kind_) {
    case MetricKind::Euclidean:
      kernels.euclidean_slabbed(query.data(), dim_, data,
                                screened_ && rounded ? rounded_.data() + group_start(group) : nullptr,
                                capacity, first, count, bound, values);
      return;
    case MetricKind::Dot:
      kernels.dot_slabbed(query.data(), dim_, data, capacity, first, count, values);
      return;
    case MetricKind::Cosine: {
      kernels.dot_slabbed(query.data(), dim_, data, capacity, first, count, values);
      const std::size_t first_id = (group * kGroupBlocks + first) * kLanes;
      for (std::size_t i = 0; i < count * kLanes && first_id + i < size_; ++i) {
        values[i] = cosine_from_parts(values[i], query_squared_norm, norms_[first_id + i]);
      }
      return;
    }
    case MetricKind::Other: {
      const std::size_t first_id = (group * kGroupBlocks + first) * kLanes;
      for (std::size_t i = 0; i < count * kLanes && first_id + i < size_; ++i) {
        values[i] = metric_(query, vector(first_id + i));
      }
      return;
    }
  }
}

Status<FlatError> Flat::search(std::span<const double> query, std::uint32_t k, std::vector<FlatHit>* hits) const {
  if (size_ == 0) return FlatError::EmptyIndex;
  // The ranking is a total order, so keeping the best `wanted` pairs in a
  // bounded heap selects exactly what ranking all of them would.
  const std::size_t wanted = std::min<std::size_t>(std::max<std::uint32_t>(k, 1), size_);
  FlatSelection selection(wanted, hits);
  const double query_squared_norm = kind_ == MetricKind::Cosine ? squared_norm(query) : 0.0;
  const std::size_t blocks = (size_ + kLanes - 1) / kLanes;
  // Blocks are scored a run at a time against the heap as it stood when the
  // run began, and offered in identifier order. Once the heap is full a later
  // vector enters only if its value ranks strictly before the worst kept (it
  // loses every tie by identifier), so a Euclidean block that cannot get
  // below that value is left early; its vectors score +infinity, which
  // enters no full heap.
  // Runs start short, so that the heap fills and the bound tightens early,
  // and lengthen as the bound settles; none crosses a group's end.
  constexpr std::size_t kRunBlocks = kGroupBlocks;
  double values[kRunBlocks * kLanes];
  std::size_t run_blocks = std::min(kRunBlocks, wanted / kLanes + 1);
  for (std::size_t group = 0; group < group_count_; ++group) {
    const std::size_t group_blocks = std::min(kGroupBlocks, blocks - group * kGroupBlocks);
    for (std::size_t first = 0; first < group_blocks; first += run_blocks, run_blocks = std::min(kRunBlocks, 2 * run_blocks)) {
      const std::size_t run = std::min(run_blocks, group_blocks - first);
      // Only the Euclidean kernels take a bound; the others ignore it.
      score_blocks(query, query_squared_norm, group, first, run, selection.bound(), values);
      const std::size_t first_id = (group * kGroupBlocks + first) * kLanes;
      selection.offer(first_id, values, std::min(run * kLanes, size_ - first_id));
    }
  }
  selection.finish();
  return Status<FlatError>::Ok();
}

}  // namespace tamsel
