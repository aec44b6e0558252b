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

#include <cstddef>
#include <span>

namespace tamsel {

inline constexpr std::size_t kLanes = 8;
inline constexpr std::size_t kCheckpoint = 16;

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
  // Whole Euclidean distances of `block_count` consecutive interleaved
  // blocks of `dim` components each (block b at blocks + b * kLanes * dim)
  // into out[b * kLanes + l], with the same early exit as
  // euclidean_interleaved block by block. Several blocks advance side by
  // side, so that their sums' latencies overlap.
  void (*euclidean_blocks)(const double* query, std::size_t dim, const double* blocks, std::size_t block_count,
                           double bound, double* out);
};

// The fastest kernels this processor supports, chosen once.
const BatchKernels& batch_kernels();

// Every variant this processor can run, the portable one first; for tests
// that hold each of them to the scalar definitions.
std::span<const BatchKernels* const> supported_batch_kernels();

}  // namespace tamsel
