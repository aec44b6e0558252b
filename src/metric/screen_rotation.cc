#include "metric/screen_rotation.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <numeric>

#include "metric/kernels.h"

namespace tamsel {

namespace {

// Cyclic Jacobi on the symmetric matrix `a` (n x n, row-major): the rows of
// the result are its eigenvectors, largest eigenvalue first. Accuracy only
// affects how well the screen works; from_axes checks what the proof needs.
std::vector<double> eigenvectors(std::vector<double> a, std::size_t n) {
  std::vector<double> v(n * n, 0.0);
  for (std::size_t i = 0; i < n; ++i) v[i * n + i] = 1.0;
  double scale = 0.0;
  for (const double x : a) scale += x * x;
  // A few sweeps order the axes well enough for the screen; more would
  // only refine them.
  for (int sweep = 0; sweep < 6; ++sweep) {
    double off = 0.0;
    for (std::size_t p = 0; p < n; ++p) {
      for (std::size_t q = p + 1; q < n; ++q) off += a[p * n + q] * a[p * n + q];
    }
    if (!(off > scale * 0x1p-100)) break;
    for (std::size_t p = 0; p < n; ++p) {
      for (std::size_t q = p + 1; q < n; ++q) {
        const double apq = a[p * n + q];
        if (apq == 0.0) continue;
        const double theta = (a[q * n + q] - a[p * n + p]) / (2.0 * apq);
        const double t = std::copysign(1.0, theta) / (std::abs(theta) + std::sqrt(theta * theta + 1.0));
        const double c = 1.0 / std::sqrt(t * t + 1.0), s = t * c;
        for (std::size_t k = 0; k < n; ++k) {
          const double akp = a[k * n + p], akq = a[k * n + q];
          a[k * n + p] = c * akp - s * akq;
          a[k * n + q] = s * akp + c * akq;
        }
        for (std::size_t k = 0; k < n; ++k) {
          const double apk = a[p * n + k], aqk = a[q * n + k];
          a[p * n + k] = c * apk - s * aqk;
          a[q * n + k] = s * apk + c * aqk;
        }
        for (std::size_t k = 0; k < n; ++k) {
          const double vpk = v[p * n + k], vqk = v[q * n + k];
          v[p * n + k] = c * vpk - s * vqk;
          v[q * n + k] = s * vpk + c * vqk;
        }
      }
    }
  }
  std::vector<std::size_t> order(n);
  std::iota(order.begin(), order.end(), std::size_t{0});
  std::stable_sort(order.begin(), order.end(),
                   [&](std::size_t x, std::size_t y) { return a[x * n + x] > a[y * n + y]; });
  std::vector<double> axes(n * n);
  for (std::size_t i = 0; i < n; ++i) std::copy_n(&v[order[i] * n], n, &axes[i * n]);
  // The rotations' roundings pile up over the sweeps; two passes of
  // Gram-Schmidt bring the axes back to orthonormal within a few units of
  // the last place.
  for (int pass = 0; pass < 2; ++pass) {
    for (std::size_t i = 0; i < n; ++i) {
      double* axis = &axes[i * n];
      for (std::size_t j = 0; j < i; ++j) {
        const double* other = &axes[j * n];
        double dot = 0.0;
        for (std::size_t k = 0; k < n; ++k) dot += axis[k] * other[k];
        for (std::size_t k = 0; k < n; ++k) axis[k] -= dot * other[k];
      }
      double norm = 0.0;
      for (std::size_t k = 0; k < n; ++k) norm += axis[k] * axis[k];
      norm = std::sqrt(norm);
      for (std::size_t k = 0; k < n; ++k) axis[k] /= norm;
    }
  }
  return axes;
}

bool usable(const double* row, std::size_t dim) {
  return std::all_of(row, row + dim, [](double x) { return std::abs(x) <= 1e150; });
}

}  // namespace

std::optional<ScreenRotation> ScreenRotation::fit(const double* rows, std::size_t count, std::size_t stride,
                                                  std::size_t dim) {
  if (dim < 2 || dim > kMaxDim || count == 0) return std::nullopt;
  std::vector<double> mean(dim, 0.0);
  std::size_t used = 0;
  for (std::size_t r = 0; r < count; ++r) {
    const double* row = rows + r * stride * dim;
    if (!usable(row, dim)) continue;
    for (std::size_t i = 0; i < dim; ++i) mean[i] += row[i];
    ++used;
  }
  if (used == 0) return std::nullopt;
  for (double& m : mean) m /= static_cast<double>(used);
  std::vector<double> covariance(dim * dim, 0.0), centred(dim);
  for (std::size_t r = 0; r < count; ++r) {
    const double* row = rows + r * stride * dim;
    if (!usable(row, dim)) continue;
    for (std::size_t i = 0; i < dim; ++i) centred[i] = row[i] - mean[i];
    for (std::size_t i = 0; i < dim; ++i) {
      const double ci = centred[i];
      double* out = &covariance[i * dim];
      for (std::size_t j = i; j < dim; ++j) out[j] += ci * centred[j];
    }
  }
  for (std::size_t i = 0; i < dim; ++i) {
    for (std::size_t j = 0; j < i; ++j) covariance[i * dim + j] = covariance[j * dim + i];
  }
  if (!std::all_of(covariance.begin(), covariance.end(), [](double x) { return std::isfinite(x); })) {
    return std::nullopt;
  }
  return from_axes(eigenvectors(std::move(covariance), dim), dim);
}

std::optional<ScreenRotation> ScreenRotation::from_axes(const std::vector<double>& axes, std::size_t dim) {
  if (dim < 2 || dim > kMaxDim || axes.size() != dim * dim) return std::nullopt;
  // Gershgorin on the Gram matrix G = A A^T: every eigenvalue is at most
  // 1 + max_i sum_j |G_ij - [i = j]|. Each computed entry g is within
  // gamma_n h of the exact one, h the computed sum of |products| (itself
  // within 1 + gamma_n); g_ii - 1 is exact for g_ii in [1/2, 2]; the row
  // sum's own roundings take another 1 + gamma_n. The margins below cover
  // these twice over.
  const double n = static_cast<double>(dim);
  const double gamma = 2.0 * n * 0x1p-53;
  double widest = 0.0;
  for (std::size_t i = 0; i < dim; ++i) {
    double row = 0.0;
    for (std::size_t j = 0; j < dim; ++j) {
      double g = 0.0, h = 0.0;
      for (std::size_t k = 0; k < dim; ++k) {
        const double product = axes[i * dim + k] * axes[j * dim + k];
        g += product;
        h += std::abs(product);
      }
      if (i == j) {
        if (!(g >= 0.5 && g <= 2.0)) return std::nullopt;
        g -= 1.0;
      }
      row += std::abs(g) + gamma * h;
    }
    widest = std::max(widest, row * (1.0 + gamma));
  }
  // |A| <= sqrt(1 + 2^-33) <= 1 + 2^-34: the e of limit().
  if (!(widest <= 0x1p-33)) return std::nullopt;
  const std::size_t panel_count = (dim + kPanelWidth - 1) / kPanelWidth;
  std::vector<double> panels(panel_count * dim * kPanelWidth, 0.0);
  for (std::size_t i = 0; i < dim; ++i) {
    double* panel = &panels[i / kPanelWidth * dim * kPanelWidth];
    for (std::size_t k = 0; k < dim; ++k) panel[k * kPanelWidth + i % kPanelWidth] = axes[i * dim + k];
  }
  return ScreenRotation(dim, std::move(panels));
}

// Every insertion and query turns a vector: the wider registers halve the
// cost where the processor has them.
__attribute__((target_clones("avx2", "default"))) void ScreenRotation::rotate(const double* x,
                                                                               double* out) const {
  // Sixteen outputs at a time, their sums held in registers (one vector
  // lane per output) while their panel streams by; each output's sum still
  // takes its terms in order.
  using Lanes = double __attribute__((vector_size(32)));
  constexpr std::size_t kWidth = sizeof(Lanes) / sizeof(double);
  static_assert(kPanelWidth == 4 * kWidth);
  const double* panel = panels_.data();
  for (std::size_t i = 0; i < dim_; i += kPanelWidth, panel += dim_ * kPanelWidth) {
    Lanes sums[4] = {};
    for (std::size_t k = 0; k < dim_; ++k) {
      const double xk = x[k];
      for (std::size_t j = 0; j < 4; ++j) {
        Lanes values;
        std::memcpy(&values, panel + k * kPanelWidth + j * kWidth, sizeof values);
        sums[j] += values * xk;
      }
    }
    std::memcpy(out + i, sums, std::min(kPanelWidth, dim_ - i) * sizeof(double));
  }
}

void ScreenRotation::rotate_rounded(const double* x, float* out) const {
  double rotated[kMaxDim];
  rotate(x, rotated);
  for (std::size_t i = 0; i < dim_; ++i) out[i] = rounded_component(rotated[i]);
}

double ScreenRotation::query_norm(double query_norm, double rotated_norm) {
  const double sum = query_norm + rotated_norm;
  return sum < std::numeric_limits<double>::infinity() ? sum * (1.0 + 0x1p-40) : sum;
}

float ScreenRotation::limit(double norm, std::size_t n, double bound) {
  return gathered_screen_limit(norm, n, bound * (1.0 + 0x1p-28) + 0x1p-480);
}

}  // namespace tamsel
