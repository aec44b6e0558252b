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
#include <cmath>
#include <cstddef>
#include <limits>
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

// The rounded screen. A slabbed group may come with a copy of its values
// rounded to float (rounded_component), in the same layout. The Euclidean
// scan then first sums squares against the copy, in double arithmetic, and
// leaves a block whose lanes all prove their exact distance at least the
// bound; only the blocks left are summed exactly. The proof, for a lane x
// with rounded copy x', a query q of n components and m of them summed:
// - each |x_i - x'_i| <= 2^-24 |x'_i| + 2^-126, so that over the m components
//   |x - x'| <= 2^-24 (|x' - q| + |q|) + sqrt(m) 2^-126 (2^-150 would do,
//   but a processor set to read subnormal floats as zero, as some libraries
//   set it for the whole process, reads such an x'_i as 0);
// - the computed sum S' of the m rounded terms is at most (1+u)^(m+2) times
//   the exact one plus m 2^-1021 lost to underflow or flushing (u = 2^-53); an
//   overflowed S' means an exact sum of at least the largest double;
// - the computed distance d is at least (1 - (n+3)u) times the exact one,
//   minus sqrt(n) 2^-536, and the exact distance is at least |x - q| over
//   any m components.
// Together, for n <= 2^20: d >= sqrt(S') (1 - 2^-23) - 2^-24 |q| -
// sqrt(n) (2^-126 + 2^-509). The screen tests S' >= ((bound + slack) /
// (1 - 2^-22))^2 with the slack at least twice those terms, every rounding
// of the right side covered by a margin upward. So a lane is ruled out only
// when d >= bound, or d is NaN, exactly as an abandoned lane. An overflowed
// S' stands for the largest double, which passes any finite limit the
// right side reaches; a limit that overflows, or a query that is not finite,
// leaves the screen idle; a NaN rounded value proves nothing.
inline constexpr std::size_t kMaxScreenedDim = std::size_t{1} << 20;

// A stored component as its rounded copy holds it: NaN when the float is
// not finite, since such a copy bounds nothing.
inline float rounded_component(double x) {
  const float rounded = static_cast<float>(x);
  return std::isfinite(rounded) ? rounded : std::numeric_limits<float>::quiet_NaN();
}

// Where component `component` of lane 0 of block `block` sits in its group.
inline std::size_t slabbed_offset(std::size_t dim, std::size_t capacity, std::size_t block, std::size_t component) {
  const std::size_t slab = component / kCheckpoint;
  return slab * capacity * kLanes * kCheckpoint + block * kLanes * slab_width(dim, slab) +
         component % kCheckpoint * kLanes;
}

// The gathered screen, for vectors stored node after node with a copy
// rounded to float (rounded_component, same layout). It sums, in float, the
// squared differences between the rounded query q' (each component of q
// converted to float, all of them finite) and each lane's rounded copy x',
// in any order, and rules out a lane whose float sum S is finite and at
// least the limit of gathered_screen_limit. The proof, for n components of
// which m are summed (m <= n <= kMaxScreenedDim), u = 2^-24:
// - a float difference is exact when subnormal, else off by a factor within
//   1 +- u; a square within 1 +- u plus 2^-150 lost to underflow; a sum of
//   nonnegative floats in any order within 1 + g, g = (n-1)u / (1-(n-1)u),
//   with no loss to underflow. So with A = |q' - x'| over the m components,
//   A^2 >= (S / (1 + g) - n 2^-150) / (1 + u)^3;
// - |q_i - q'_i| <= u |q'_i| + 2^-150 and likewise for x, and |x'| <=
//   A + |q'|, |q'| <= (|q| + sqrt(n) 2^-150) / (1 - u), so that over the m
//   components |q - x| >= A (1 - u) - 2^-22.99 |q| - sqrt(n) 2^-148;
// - the computed distance d is at least (1 - (n+3) 2^-53) |q - x| over all n
//   components, minus sqrt(n) 2^-536 (as for the rounded screen above).
// Hence d >= bound once A >= R = (bound + slack) (1 + 2^-22) with slack >=
// 2^-22.9 |q| + sqrt(n) 2^-147, that is once S >= (1 + g) ((1 + u)^3 R^2 +
// n 2^-150). The limit is that right side, every rounding of it covered by
// a margin upward and converted to float upward, and at least the least
// normal float. Where the processor flushes subnormal results to zero, a
// flushed difference, square or sum only makes S smaller; where it reads
// subnormal operands as zero, each q'_i or x'_i moves by less than 2^-126,
// which a slack of (sqrt(n) + 1) 2^-122 covers. A ruled-out lane therefore
// has d >= bound or d NaN, exactly as an abandoned one. An overflowed S
// proves nothing; a NaN x' (not finite as a float) neither; the limit is NaN,
// and rules out nothing, for a NaN bound, a query whose components are not
// all finite as floats, or a limit beyond the largest float.
inline constexpr std::size_t kScreenCheckpoint = 16;

// An upper bound on the norm of query[0 .. n-1], +infinity when the screen
// cannot be used for this query (too long, or a component not finite as a
// float). Computed once per query.
double screen_query_norm(const double* query, std::size_t n);

// The float limit for a query of that norm bound, n components and a bound.
float gathered_screen_limit(double query_norm, std::size_t n, double bound);

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
  // The gathered screen over rounded lanes (kernels.h above), from
  // component `from` (a multiple of kScreenCheckpoint) to `to`: lane l's
  // sum starts at sums[l], the float sum over the components before `from`
  // (0 for none), and adds those up to `to`. Bit l of the result is set when
  // lane l is ruled out. It may return as soon as every lane is, at a
  // checkpoint every kScreenCheckpoint components. sums[l] is then lane l's
  // sum S as last tested: for a ruled-out lane, S rules it out against any
  // bound whose limit S reaches, with the same query; for a lane not ruled
  // out at `to`, the sum to carry on from there.
  unsigned (*euclidean_screen_gathered)(const float* query, std::size_t from, std::size_t to,
                                        const float* const* vectors, float limit, float* sums);
  // Whole distances of blocks first .. first+count-1 of a slabbed group
  // into out[b * kLanes + l] for the b-th of them. They go through the group
  // a slab at a time, so that each slab is read as one stream and the
  // abandoned blocks' later slabs are skipped. The Euclidean one reports a
  // block as all +infinity only when every lane's distance is at least the
  // bound or NaN: it exits early at the checkpoints of
  // euclidean_interleaved, and, given the rounded copy `rounded` (or
  // nullptr), when the rounded screen rules the block out.
  void (*euclidean_slabbed)(const double* query, std::size_t dim, const double* group, const float* rounded,
                            std::size_t capacity, std::size_t first, std::size_t count, double bound, double* out);
  void (*dot_slabbed)(const double* query, std::size_t dim, const double* group, std::size_t capacity,
                      std::size_t first, std::size_t count, double* out);
};

// The fastest kernels this processor supports, chosen once.
const BatchKernels& batch_kernels();

// Every variant this processor can run, the portable one first; for tests
// that hold each of them to the scalar definitions.
std::span<const BatchKernels* const> supported_batch_kernels();

}  // namespace tamsel
