// The product screen: rules stored vectors out for many Euclidean queries at
// once, at the speed of a float matrix product, from the float copy x' of a
// slabbed group (the rounded copy of kernels.h). For a query q rounded to
// float (q') and a lane x it computes, in any summation order, the float dot
// product p = q'.x', the double squared norms X = |x'|^2 (per lane, once per
// run of blocks) and Q = |q'|^2 (per query), and rules the lane out when
//
//     fl(w - 2p) >= t,   w = fl(X (1 - kx)),   t = threshold(bound, Q),
//
// which proves that the Euclidean distance d of q and x, as the sequential
// definition computes it in double, is >= bound. Such a lane could not enter
// a full selection whose worst kept value is the bound, so leaving it out
// changes no answer. Every comparison is false for a NaN, so a NaN bound, a
// NaN copy (a component that is not finite as a float) or a NaN p rules
// nothing out.
//
// The proof, for n <= kMaxScreenedDim components, round to nearest, with or
// without subnormals flushed to zero (on results or operands), u = 2^-53,
// a = 2^-24, g = n 2^-24 / (1 - n 2^-24) (the float dot product's
// constant); |.| is the Euclidean norm and D = |q - x| the exact distance:
// 1. d >= (1 - 2^-32) D - sqrt(n) 2^-500: every difference, square, sum and
//    the square root is exact to a factor (1 +- u), or loses at most 2^-1022
//    to underflow, and (1 - u)^(n+5) >= 1 - 2^-32.
// 2. Each |x_i - x'_i| <= a |x'_i| + 2^-125, the same for q, so
//    D >= L - a (|x'| + |q'|) - 2 sqrt(n) 2^-125, where L = |q' - x'|.
// 3. L^2 = X* + Q* - 2 P* with the exact X*, Q*, P* of the rounded values.
//    A float square is exact in double and no partial sum of squares
//    underflows, so |X - X*| <= 2^-32 X*, the same for Q. The float sum of
//    n products in any order is within g m + n 2^-122 of P*, where
//    m = sum |q'_i x'_i| <= (X* + Q*) / 2. So with k1 = g (1 + 2^-30) + 2^-31,
//    L^2 >= X + Q - 2p - k1 (X + Q) - n 2^-121.
// 4. Ruling out needs L >= R = B + a |x'|, B = (bound + sqrt(n) 2^-500) /
//    (1 - 2^-32) + a |q'| + 2 sqrt(n) 2^-125 (then D and d follow from 1 and
//    2); R^2 <= (1 + a) B^2 + 2a X since 2 B |x'| <= B^2 + X*. So it is
//    enough that X (1 - k1 - 2a) - 2p >= (1 + a) B^2 + n 2^-121 - Q (1 - k1).
// 5. The test is that inequality with kx = k1 + 2a + 2^-47 on X,
//    kq = k1 + 2^-47 on Q, B rounded up by a factor (1 + 2^-30), B^2 by
//    (1 + 2^-20) and n 2^-121 doubled (plus 2^-1000). Every double rounding
//    in w, t and fl(w - 2p) is below 2^-51 (X + Q + B^2) + 2^-1019, since
//    |p| <= X + Q, far inside those margins.
// Overflow is kept out, not bounded: a lane with X > 2^120 (or NaN) gets a
// NaN weight and a query with a component that is not finite as a float, or
// with Q > 2^120, is not screened, so every float partial sum stays below
// 2^121 and every value above is finite. A threshold that overflows is
// +infinity and rules nothing out.
//
// The kernels are pure functions of their arguments: safe to call
// concurrently.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace tamsel {

// Rounds the query to float into rounded[0 .. size-1] and returns Q, its
// squared norm; NaN when the screen cannot be used for it.
double round_screened_query(std::span<const double> query, float* rounded);

// The t of a query of `dim` components with squared norm Q (as returned by
// round_screened_query) against `bound`: NaN for a NaN bound or Q.
double screen_threshold(std::size_t dim, double query_squared_norm, double bound);

// The w of a lane of `dim` components whose X is `squared_norm`: NaN for a
// NaN X or one above 2^120.
double screen_weight(std::size_t dim, double squared_norm);

struct ProductScreenKernels {
  const char* name;
  // The queries screened together; other counts cost as its next multiple.
  std::size_t queries_at_once;
  // w of every lane of blocks first .. first+count-1 of a slabbed float
  // group, into weights[b * kLanes + l] for the b-th of them; X is summed
  // in component order.
  void (*weights)(std::size_t dim, const float* group, std::size_t capacity, std::size_t first, std::size_t count,
                  double* weights);
  // For each query j < query_count (dim floats at queries[j], threshold
  // thresholds[j]) and block b < count (block first + b of the group, its
  // weights at weights + b * kLanes): keep[j * count + b] has bit l set
  // unless lane l is ruled out. Each lane's p adds its products in component
  // order, in float, rounding each product before adding it.
  void (*screen)(const float* const* queries, const double* thresholds, std::size_t query_count, std::size_t dim,
                 const float* group, std::size_t capacity, std::size_t first, std::size_t count,
                 const double* weights, std::uint8_t* keep);
};

// The fastest variant this processor supports, chosen once.
const ProductScreenKernels& product_screen_kernels();

// Every variant this processor can run, the portable one first.
std::span<const ProductScreenKernels* const> supported_product_screen_kernels();

}  // namespace tamsel
