// Batched metric kernels: the sums of euclidean_distance and dot_product for
// several stored vectors at once, one vector per SIMD lane. Each lane adds
// its terms in index order starting from +0.0, rounding every product before
// adding it, exactly as the scalar functions do, so every value is
// bit-identical to theirs; only independent vectors advance side by side.
//
// Euclidean kernels can abandon a hopeless batch early. At checkpoints every
// kCheckpoint components, if sqrt(partial sum) >= bound holds for every lane,
// the remaining terms are skipped and every lane reports +infinity. Each
// lane's true distance is then >= bound or NaN, since a sum of squares never
// decreases and the square root is monotone. A NaN bound never abandons.
#pragma once

#include <algorithm>
#include <cstddef>
#include <span>

namespace tamsel {

inline constexpr std::size_t kLanes = 8;
inline constexpr std::size_t kCheckpoint = 16;

// Slabbed groups, the layout the exhaustive index stores its vectors in. A
// group has room for `capacity` blocks of kLanes vectors of `dim` components.
// The components are cut into slabs of kCheckpoint (the last may be
// narrower); slab s of every block of the group is stored together, block
// after block, and within a block interleaved by component. A scan that
// abandons a block at a checkpoint therefore never has the rest of its
// components fetched from memory.
inline std::size_t slab_width(std::size_t dim, std::size_t slab) {
  return std::min(kCheckpoint, dim - slab * kCheckpoint);
}

// Where component `component` of lane 0 of block `block` sits in its group.
inline std::size_t slabbed_offset(std::size_t dim, std::size_t capacity, std::size_t block, std::size_t component) {
  const std::size_t slab = component / kCheckpoint;
  return slab * capacity * kLanes * kCheckpoint + block * kLanes * slab_width(dim, slab) +
         component % kCheckpoint * kLanes;
}

struct BatchKernels {
  const char* name;
  // Lanes interleaved: component i of lane l is at block[i * kLanes + l].
  // Computes over components 0 .. n-1.
  void (*euclidean_interleaved)(const double* query, std::size_t n, const double* block, double bound,
                                double* out);
  void (*dot_interleaved)(const double* query, std::size_t n, const double* block, double* out);
  // Lanes given as kLanes pointers to vectors of at least n components.
  void (*euclidean_gathered)(const double* query, std::size_t n, const double* const* vectors, double bound,
                             double* out);
  void (*dot_gathered)(const double* query, std::size_t n, const double* const* vectors, double* out);
  // Whole distances of blocks first .. first+count-1 of a slabbed group
  // into out[b * kLanes + l] for the b-th of them. The Euclidean one exits
  // early exactly as euclidean_interleaved does block by block. They go
  // through the group a slab at a time, so that each slab is read as one
  // stream and the abandoned blocks' later slabs are skipped.
  void (*euclidean_slabbed)(const double* query, std::size_t dim, const double* group, std::size_t capacity,
                            std::size_t first, std::size_t count, double bound, double* out);
  void (*dot_slabbed)(const double* query, std::size_t dim, const double* group, std::size_t capacity,
                      std::size_t first, std::size_t count, double* out);
};

// The fastest kernels this processor supports, chosen once.
const BatchKernels& batch_kernels();

// Every variant this processor can run, the portable one first; for tests
// that hold each of them to the scalar definitions.
std::span<const BatchKernels* const> supported_batch_kernels();

}  // namespace tamsel
