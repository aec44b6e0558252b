#include "flat/flat.h"

#include <algorithm>
#include <cmath>
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
  const double* block = blocks_.data() + (id / kLanes) * kLanes * dim_;
  for (std::size_t i = 0; i < dim_; ++i) values[i] = block[i * kLanes + id % kLanes];
  return values;
}

void Flat::copy_vectors(std::size_t first, std::size_t count, double* out) const {
  check_invariant(first <= size_ && count <= size_ - first, "copy of vectors that are not stored");
  for (std::size_t id = first; id < first + count; ++id, out += dim_) {
    const double* block = blocks_.data() + (id / kLanes) * kLanes * dim_;
    for (std::size_t i = 0; i < dim_; ++i) out[i] = block[i * kLanes + id % kLanes];
  }
}

void Flat::reserve(std::size_t count) {
  if (dim_ == 0) return;
  blocks_.reserve((count + kLanes - 1) / kLanes * kLanes * dim_);
  if (kind_ == MetricKind::Cosine) norms_.reserve(count);
}

void Flat::insert(std::span<const double> values) {
  check_invariant(values.size() == dim_, "flat insert of a vector whose length is not the index dimension");
  if (dim_ == 0) return;  // an empty vector stores nothing
  if (size_ % kLanes == 0) blocks_.resize(blocks_.size() + kLanes * dim_, 0.0);
  if (kind_ == MetricKind::Cosine) norms_.push_back(squared_norm(values));
  double* block = blocks_.data() + (size_ / kLanes) * kLanes * dim_;
  for (std::size_t i = 0; i < dim_; ++i) block[i * kLanes + size_ % kLanes] = values[i];
  ++size_;
}

Status<FlatError> Flat::create(const VectorBatch& batch) {
  NoCheckpoint never;
  bool completed;
  return create(batch, never, &completed);
}

void Flat::truncate(std::size_t size) {
  if (size >= size_) return;
  blocks_.resize((size + kLanes - 1) / kLanes * kLanes * dim_);
  if (size % kLanes != 0) {  // the lanes past `size` of the last block back to 0.0, as insert found them
    double* block = blocks_.data() + (size / kLanes) * kLanes * dim_;
    for (std::size_t i = 0; i < dim_; ++i) {
      for (std::size_t l = size % kLanes; l < kLanes; ++l) block[i * kLanes + l] = 0.0;
    }
  }
  if (kind_ == MetricKind::Cosine) norms_.resize(size);
  size_ = size;
}

Status<FlatError> Flat::create(const VectorBatch& batch, Checkpoint& checkpoint, bool* completed) {
  *completed = true;
  if (batch.empty()) return FlatError::EmptyVectors;
  check_invariant(batch.first_row_not_of_length(dim_) == batch.size(),
                  "flat create of a vector whose length is not the index dimension");
  if (dim_ == 0) return Status<FlatError>::Ok();  // empty vectors store nothing, however many
  const std::size_t blocks_after = (size_ + batch.size() + kLanes - 1) / kLanes;
  blocks_.reserve(blocks_after * kLanes * dim_);
  if (kind_ == MetricKind::Cosine) norms_.reserve(size_ + batch.size());
  const std::size_t size_before = size_;
  constexpr std::size_t kRowsPerLook = 1024;
  for (std::size_t row = 0; row < batch.size(); ++row) {
    if (row % kRowsPerLook == 0 && !checkpoint.keep_going()) {
      truncate(size_before);
      *completed = false;
      return Status<FlatError>::Ok();
    }
    insert(batch[row]);
  }
  return Status<FlatError>::Ok();
}

void Flat::score_block(std::span<const double> query, double query_squared_norm, std::size_t block, double bound,
                       double* values) const {
  const double* data = blocks_.data() + block * kLanes * dim_;
  const BatchKernels& kernels = batch_kernels();
  switch (kind_) {
    case MetricKind::Euclidean:
      kernels.euclidean_interleaved(query.data(), dim_, data, bound, values);
      return;
    case MetricKind::Dot:
      kernels.dot_interleaved(query.data(), dim_, data, values);
      return;
    case MetricKind::Cosine: {
      kernels.dot_interleaved(query.data(), dim_, data, values);
      const std::size_t first = block * kLanes;
      for (std::size_t l = 0; l < kLanes && first + l < size_; ++l) {
        values[l] = cosine_from_parts(values[l], query_squared_norm, norms_[first + l]);
      }
      return;
    }
    case MetricKind::Other:
      for (std::size_t l = 0; l < kLanes && block * kLanes + l < size_; ++l) {
        values[l] = metric_(query, vector(block * kLanes + l));
      }
      return;
  }
}

Flat::Query Flat::prepare(std::span<const double> query) const {
  return Query{query, kind_ == MetricKind::Cosine ? squared_norm(query) : 0.0};
}

void Flat::score_blocks(const Query& query, std::size_t first_block, std::size_t count, double bound,
                        double* values) const {
  if (kind_ == MetricKind::Euclidean) {
    batch_kernels().euclidean_blocks(query.values.data(), dim_, blocks_.data() + first_block * kLanes * dim_, count,
                                     bound, values);
    return;
  }
  for (std::size_t b = 0; b < count; ++b) {
    score_block(query.values, query.squared_norm, first_block + b, std::numeric_limits<double>::quiet_NaN(),
                values + b * kLanes);
  }
}

Status<FlatError> Flat::search(std::span<const double> query, std::uint32_t k, std::vector<FlatHit>* hits) const {
  if (size_ == 0) return FlatError::EmptyIndex;
  const std::size_t wanted = std::min<std::size_t>(std::max<std::uint32_t>(k, 1), size_);
  FlatSelection selection(wanted, hits);
  const Query prepared = prepare(query);
  const std::size_t blocks = block_count();
  // Blocks are scored a run at a time against the heap as it stood when the
  // run began, and offered in identifier order. Once the heap is full a later
  // vector enters only if its value ranks strictly before the worst kept (it
  // loses every tie by identifier), so a Euclidean block that cannot get
  // below that value is left early; its vectors score +infinity, which
  // enters no full heap.
  // Runs start short, so that the heap fills and the bound tightens early,
  // and lengthen as the bound settles.
  constexpr std::size_t kRunBlocks = 64;
  double values[kRunBlocks * kLanes];
  std::size_t run_blocks = std::min(kRunBlocks, wanted / kLanes + 1);
  for (std::size_t first_block = 0; first_block < blocks; first_block += run_blocks, run_blocks = std::min(kRunBlocks, 2 * run_blocks)) {
    const std::size_t run = std::min(run_blocks, blocks - first_block);
    score_blocks(prepared, first_block, run, selection.bound(), values);
    const std::size_t first = first_block * kLanes;
    selection.offer(first, values, std::min(run * kLanes, size_ - first));
  }
  selection.finish();
  return Status<FlatError>::Ok();
}

}  // namespace tamsel
