// Flat: the exhaustive index. It keeps vectors of one fixed dimension and
// answers a query by scoring it against every stored vector, so its answers
// are exact and repeatable.
//
// A vector's identifier is its position in insertion order, from 0. Callers
// guarantee that every vector and query they pass has exactly `dim` values;
// the Python layer checks that before calling in.
//
// Vectors are stored in blocks of kLanes interleaved by component, the blocks
// in slabbed groups of kGroupBlocks (see metric/kernels.h): the first
// kCheckpoint components of a group's blocks together, then the next, so a
// search that leaves a block early never fetches the rest of it. Every group
// but the last has room for kGroupBlocks blocks; the last grows by doubling.
// A search streams through the groups once and keeps the best pairs in a
// bounded heap. For the Euclidean distance a copy rounded to float is kept
// too, in the same layout, so that most blocks are ruled out from half the
// bytes before any exact sum is taken (the rounded screen of
// metric/kernels.h, which never rules out a vector that could enter).
//
// A batch of queries (flat_batch.h) streams through the blocks once per tile
// of queries, through the scoring interface below; for the Euclidean
// distance it first rules blocks out for the whole tile from the float copy
// (metric/product_screen.h).
//
// Thread safety: the const members are safe for concurrent readers; insert
// and create need exclusive access.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "common/checkpoint.h"
#include "common/huge_page_allocator.h"
#include "common/status.h"
#include "common/vector_batch.h"
#include "metric/kernels.h"
#include "metric/metric.h"

namespace tamsel {

enum class FlatError { EmptyIndex, EmptyVectors };

// The text form of a variant: its name, e.g. "EmptyIndex".
const char* flat_error_name(FlatError error);

struct FlatHit {
  std::size_t id;
  double value;
};

class Flat {
 public:
  Flat(std::size_t dim, MetricFn metric)
      : metric_(metric),
        kind_(metric_kind(metric)),
        dim_(dim),
        screened_(kind_ == MetricKind::Euclidean && dim <= kMaxScreenedDim) {}

  std::size_t dim() const { return dim_; }
  MetricFn metric() const { return metric_; }
  // The number of stored vectors; always 0 when `dim` is 0, since empty
  // vectors add no values.
  std::size_t size() const { return size_; }
  // A copy of the stored vector.
  std::vector<double> vector(std::size_t id) const;
  // Copies vectors first .. first + count - 1 into `out`, row after row.
  void copy_vectors(std::size_t first, std::size_t count, double* out) const;

  // Makes room for `count` vectors in all, so that appends up to that many
  // allocate nothing more.
  void reserve(std::size_t count);

  // Appends one vector of exactly `dim` values.
  void insert(std::span<const double> values) { append(values, 1); }

  // Appends every vector of the batch in order; EmptyVectors for an empty
  // batch, which leaves the index unchanged. When the checkpoint says stop,
  // nothing of the batch stays stored and the result is Ok with
  // *completed false.
  Status<FlatError> create(const VectorBatch& batch);
  Status<FlatError> create(const VectorBatch& batch, Checkpoint& checkpoint, bool* completed);

  // The max(k, 1) best (identifier, value) pairs in the distance order on
  // pairs, or all of them when fewer are stored; EmptyIndex when nothing is
  // stored. The query is the metric's first argument.
  Status<FlatError> search(std::span<const double> query, std::uint32_t k, std::vector<FlatHit>* hits) const;

  // The scoring interface: a query prepared once, then scored against runs
  // of consecutive blocks. Block b holds identifiers b*kLanes onwards; the
  // values of lanes past size() are meaningless. With a Euclidean metric a
  // block whose every lane has a distance >= bound may report +infinity for
  // all of them (NaN: no bound); every other value is exact.
  struct Query {
    std::span<const double> values;
    double squared_norm;  // for the cosine only
  };
  Query prepare(std::span<const double> query) const;
  std::size_t block_count() const { return (size_ + kLanes - 1) / kLanes; }
  void score_blocks(const Query& query, std::size_t first_block, std::size_t count, double bound,
                    double* values) const;
  // The same without the rounded screen, for blocks that another screen
  // has let through, where it would rule out little: early exits only.
  void score_blocks_unscreened(const Query& query, std::size_t first_block, std::size_t count, double bound,
                               double* values) const;

  // The float copy of group `group` and the blocks it has room for, in the
  // layout of metric/kernels.h; values is nullptr when the index keeps no
  // copy (a metric other than the Euclidean, or more than kMaxScreenedDim
  // components).
  struct RoundedGroup {
    const float* values;
    std::size_t capacity;
  };
  RoundedGroup rounded_group(std::size_t group) const {
    return {screened_ ? rounded_.data() + group_start(group) : nullptr, group_capacity(group)};
  }

  // Bytes held for the stored vectors.
  std::size_t memory_bytes() const {
    return (values_.capacity() + norms_.capacity()) * sizeof(double) + rounded_.capacity() * sizeof(float);
  }

  static constexpr std::size_t kGroupBlocks = 64;

 private:
  // Appends one vector, knowing that `coming` vectors (this one included)
  // are being appended, so that a group can be given its room at once.
  void append(std::span<const double> values, std::size_t coming);
  // The length of values_ that holds `vectors` vectors appended in one go.
  std::size_t length_for(std::size_t vectors) const;
  // Drops every vector from `size` on.
  void truncate(std::size_t size);
  // Gives the last group room for `capacity` blocks, moving its slabs apart.
  void grow_last_group(std::size_t capacity);
  std::size_t group_capacity(std::size_t group) const {
    return group + 1 == group_count_ ? last_capacity_ : kGroupBlocks;
  }
  std::size_t group_start(std::size_t group) const { return group * kGroupBlocks * kLanes * dim_; }
  // Scores blocks first .. first+count-1 of a group into values, with the
  // rounded screen when `rounded` and the index keeps the copy.
  void score_blocks(std::span<const double> query, double query_squared_norm, std::size_t group, std::size_t first,
                    std::size_t count, double bound, double* values, bool rounded = true) const;
  void score_runs(const Query& query, std::size_t first_block, std::size_t count, double bound, double* values,
                  bool rounded) const;

  std::vector<double, HugePageAllocator<double>> values_;  // the groups, one after another
  std::vector<float, HugePageAllocator<float>> rounded_;   // the same rounded, when screened
  std::vector<double> norms_;   // squared norms, kept for the cosine only
  MetricFn metric_;
  MetricKind kind_;
  std::size_t dim_;
  bool screened_;
  std::size_t size_ = 0;
  std::size_t group_count_ = 0;
  std::size_t expected_ = 0;  // vectors announced by reserve()
  std::size_t last_capacity_ = 0;  // in blocks
};

}  // namespace tamsel
