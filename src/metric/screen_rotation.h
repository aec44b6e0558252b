// ScreenRotation: an orthonormal basis in which the gathered screen
// (kernels.h) sees most of a distance in its first components.
//
// The screen sums squared differences component by component and rules a
// lane out once the partial sum reaches its limit. Distance does not change
// under a rotation, so the screen may as well sum in a basis whose leading
// axes carry most of the spread between stored vectors: the principal axes
// of a sample of them, largest variance first. On clustered data the first
// 16 to 32 rotated components then rule out what took 48 to 64 raw ones.
//
// Only the screen sees rotated values; every distance reported is still the
// metric's, computed from the stored vectors. A rotation changes how soon a
// lane is ruled out, never which lanes may be: see limit() for the proof.
//
// Thread-safety: immutable once made; const members are safe from any
// number of threads.
#pragma once

#include <cstddef>
#include <optional>
#include <vector>

namespace tamsel {

class ScreenRotation {
 public:
  // Rotations serve dimensions 2 .. kMaxDim: the proof's error terms grow
  // with n^1.5, and fitting costs n^3.
  static constexpr std::size_t kMaxDim = 256;

  // The principal axes of `count` rows of `dim` values, `stride` rows apart
  // from `rows` (rows with a component that is not finite, or beyond 1e150,
  // are skipped). Empty for a dimension outside 2 .. kMaxDim, for no usable
  // row, or when the axes fail the check of from_axes. Throws std::bad_alloc.
  static std::optional<ScreenRotation> fit(const double* rows, std::size_t count, std::size_t stride,
                                           std::size_t dim);

  // The rotation whose axis i is axes[i * dim .. i * dim + dim - 1]. Empty
  // unless the axes are orthonormal to within what the proof allows (their
  // Gram matrix is checked, every rounding of the check counted).
  static std::optional<ScreenRotation> from_axes(const std::vector<double>& axes, std::size_t dim);

  std::size_t dim() const { return dim_; }

  // out[i] = the sum over k of axis i's k-th value times x[k], in double.
  void rotate(const double* x, double* out) const;
  // The same, each value then as the screen's copy holds it
  // (rounded_component).
  void rotate_rounded(const double* x, float* out) const;

  // The norm to give limit() for a query: from the bounds on the norms of
  // the query and of its rotation (screen_query_norm of each, over dim
  // components); +infinity when either is.
  static double query_norm(double query_norm, double rotated_norm);

  // The screen's limit for a bound, over rotated copies. The gathered
  // screen's proof (kernels.h) holds for the rotated query z and rotated
  // copy y of each vector as the exact vectors: with A the float sum's
  // norm, |z - y| >= A (1 - u) - 2^-22.99 |z| - sqrt(n) 2^-148 over the
  // components summed. The rotation R, computed in double, is within
  // delta = sqrt(n) gamma_n (1 + e) of exact per unit norm (gamma_n = n
  // 2^-53 / (1 - n 2^-53)), and |R v| <= (1 + e) |v| with e <= 2^-34 as
  // checked. So |q - x| (1 + e) >= |R(q - x)| >= |z - y| - delta (|q| +
  // |x|), and with |x| <= |q| + |q - x|:
  //   |q - x| >= (|z - y| - 2 delta |q|) / (1 + e + delta).
  // For n <= kMaxDim, delta <= 2^-40, so 2 delta |q| <= 2^-22.99 |q|, which
  // the norm of query_norm (|z| + |q|) takes into the slack; and dividing by
  // 1 + e + delta <= 1 + 2^-33 costs less than the bound's margin of 2^-28,
  // whose absolute part 2^-480 covers the underflow of products in double.
  // The rest of the gathered proof then goes through unchanged.
  static float limit(double norm, std::size_t n, double bound);

 private:
  // Axes go in panels of kPanelWidth: panel p holds axes p * kPanelWidth
  // onwards, value k of each side by side (zero past the last axis).
  static constexpr std::size_t kPanelWidth = 16;

  ScreenRotation(std::size_t dim, std::vector<double> panels) : dim_(dim), panels_(std::move(panels)) {}

  std::size_t dim_;
  std::vector<double> panels_;
};

}  // namespace tamsel
