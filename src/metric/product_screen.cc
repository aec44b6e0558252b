#include "metric/product_screen.h"

#include <immintrin.h>

#include <cmath>
#include <limits>
#include <utility>
#include <vector>

#include "metric/kernels.h"

namespace tamsel {

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
// Squared norms above this are not screened, so that no float sum overflows.
constexpr double kMaxSquaredNorm = 0x1p120;

// k1 of the proof (product_screen.h) for n components.
double k1(std::size_t n) {
  const double g = static_cast<double>(n) * 0x1p-24;  // exact, as is 1 - g
  return g / (1.0 - g) * (1.0 + 0x1p-30) + 0x1p-31;
}

// 1 - kx: the factor of a lane's squared norm in its weight.
double weight_factor(std::size_t n) { return 1.0 - (k1(n) + 0x1p-23 + 0x1p-47); }

// A lane's weight from its squared norm.
double weight(double squared_norm, double factor) {
  return squared_norm <= kMaxSquaredNorm ? squared_norm * factor : kNaN;
}

// ---------------------------------------------------------------------------
// Portable: plain loops over lanes, which compilers may vectorise across
// lanes; every lane's sums still run in component order.

void weights_portable(std::size_t dim, const float* group, std::size_t capacity, std::size_t first,
                      std::size_t count, double* weights) {
  const double factor = weight_factor(dim);
  for (std::size_t b = 0; b < count; ++b) {
    double sums[kLanes] = {};
    for (std::size_t slab = 0; slab * kCheckpoint < dim; ++slab) {
      const float* x = group + slabbed_offset(dim, capacity, first + b, slab * kCheckpoint);
      for (std::size_t i = 0; i < slab_width(dim, slab); ++i) {
        for (std::size_t l = 0; l < kLanes; ++l) {
          const double v = x[i * kLanes + l];
          sums[l] += v * v;
        }
      }
    }
    for (std::size_t l = 0; l < kLanes; ++l) weights[b * kLanes + l] = weight(sums[l], factor);
  }
}

// kQ queries against kB consecutive blocks, from block `block` of the group.
struct PortableTile {
  static constexpr std::size_t kQueries = 4;
  template <std::size_t kQ, std::size_t kB>
  static void run(const float* const* queries, const double* thresholds, std::size_t dim, const float* group,
                  std::size_t capacity, std::size_t block, const double* weights, std::uint8_t* keep,
                  std::size_t keep_stride) {
    float sums[kQ][kB][kLanes] = {};
    for (std::size_t slab = 0; slab * kCheckpoint < dim; ++slab) {
      const std::size_t w = slab_width(dim, slab), at = slab * kCheckpoint;
      const float* x = group + slabbed_offset(dim, capacity, block, at);
      for (std::size_t i = 0; i < w; ++i) {
        for (std::size_t j = 0; j < kQ; ++j) {
          const float q = queries[j][at + i];
          for (std::size_t b = 0; b < kB; ++b) {
            for (std::size_t l = 0; l < kLanes; ++l) sums[j][b][l] += q * x[b * kLanes * w + i * kLanes + l];
          }
        }
      }
    }
    for (std::size_t j = 0; j < kQ; ++j) {
      for (std::size_t b = 0; b < kB; ++b) {
        unsigned kept = 0;
        for (std::size_t l = 0; l < kLanes; ++l) {
          const double p = sums[j][b][l];
          if (!(weights[b * kLanes + l] - (p + p) >= thresholds[j])) kept |= 1u << l;
        }
        keep[j * keep_stride + b] = static_cast<std::uint8_t>(kept);
      }
    }
  }
};

// Pairs of blocks, each against the queries Tile::kQueries at a time: a
// pair stays in the first level cache while every query passes over it.
template <class Tile>
void screen_with(const float* const* queries, const double* thresholds, std::size_t query_count, std::size_t dim,
                 const float* group, std::size_t capacity, std::size_t first, std::size_t count,
                 const double* weights, std::uint8_t* keep) {
  constexpr std::size_t kQueries = Tile::kQueries;
  const auto over_queries = [&]<std::size_t kB>(std::size_t b) {
    const std::size_t block = first + b;
    const double* w = weights + b * kLanes;
    std::size_t j = 0;
    for (; j + kQueries <= query_count; j += kQueries) {
      Tile::template run<kQueries, kB>(queries + j, thresholds + j, dim, group, capacity, block, w,
                                       keep + j * count + b, count);
    }
    [&]<std::size_t... kQ>(std::index_sequence<kQ...>) {
      // The rest, fewer than kQueries: one call with that many.
      ((query_count - j == kQ + 1 ? Tile::template run<kQ + 1, kB>(queries + j, thresholds + j, dim, group, capacity,
                                                                    block, w, keep + j * count + b, count)
                                  : void()),
       ...);
    }(std::make_index_sequence<kQueries - 1>());
  };
  std::size_t b = 0;
  for (; b + 2 <= count; b += 2) over_queries.template operator()<2>(b);
  if (b < count) over_queries.template operator()<1>(b);
}

constexpr ProductScreenKernels kPortable{"portable", PortableTile::kQueries, weights_portable,
                                         screen_with<PortableTile>};

// ---------------------------------------------------------------------------
// AVX2: a block's lanes are one float register; six queries times two
// blocks keep twelve sums in registers, and each loaded component serves six
// queries. Products are rounded, then added: no fused multiply-add.

#define TAMSEL_AVX2 __attribute__((target("avx2")))

// Adds the squares of components i of a block's eight lanes.
TAMSEL_AVX2 inline void add_squares(const float* x, __m256d& low, __m256d& high) {
  const __m256d v_low = _mm256_cvtps_pd(_mm_loadu_ps(x)), v_high = _mm256_cvtps_pd(_mm_loadu_ps(x + 4));
  low = _mm256_add_pd(low, _mm256_mul_pd(v_low, v_low));
  high = _mm256_add_pd(high, _mm256_mul_pd(v_high, v_high));
}

TAMSEL_AVX2 inline void store_weights(__m256d low, __m256d high, double factor, double* weights) {
  alignas(32) double sums[kLanes];
  _mm256_store_pd(sums, low);
  _mm256_store_pd(sums + 4, high);
  for (std::size_t l = 0; l < kLanes; ++l) weights[l] = weight(sums[l], factor);
}

// Two blocks at a time, so that four sums' latencies overlap.
TAMSEL_AVX2 void weights_avx2(std::size_t dim, const float* group, std::size_t capacity, std::size_t first,
                              std::size_t count, double* weights) {
  const double factor = weight_factor(dim);
  for (std::size_t b = 0; b < count; b += 2) {
    const bool pair = b + 1 < count;
    __m256d low0 = _mm256_setzero_pd(), high0 = low0, low1 = low0, high1 = low0;
    for (std::size_t slab = 0; slab * kCheckpoint < dim; ++slab) {
      const std::size_t w = slab_width(dim, slab);
      const float* x0 = group + slabbed_offset(dim, capacity, first + b, slab * kCheckpoint);
      const float* x1 = pair ? x0 + kLanes * w : x0;
      for (std::size_t i = 0; i < w; ++i) {
        add_squares(x0 + i * kLanes, low0, high0);
        add_squares(x1 + i * kLanes, low1, high1);
      }
    }
    store_weights(low0, high0, factor, weights + b * kLanes);
    if (pair) store_weights(low1, high1, factor, weights + (b + 1) * kLanes);
  }
}

// The screen's verdict on one block's eight sums p, given the lanes'
// weights: bit l set unless lane l is ruled out.
TAMSEL_AVX2 inline std::uint8_t kept_avx2(__m256 sums, const double* weights, __m256d threshold) {
  const __m256d p_low = _mm256_cvtps_pd(_mm256_castps256_ps128(sums));
  const __m256d p_high = _mm256_cvtps_pd(_mm256_extractf128_ps(sums, 1));
  const __m256d low = _mm256_sub_pd(_mm256_loadu_pd(weights), _mm256_add_pd(p_low, p_low));
  const __m256d high = _mm256_sub_pd(_mm256_loadu_pd(weights + 4), _mm256_add_pd(p_high, p_high));
  const int out = _mm256_movemask_pd(_mm256_cmp_pd(low, threshold, _CMP_GE_OQ)) |
                  _mm256_movemask_pd(_mm256_cmp_pd(high, threshold, _CMP_GE_OQ)) << 4;
  return static_cast<std::uint8_t>(~out & 0xFF);
}

// Always six queries and two blocks, in twelve named registers (arrays of
// them end up on the stack); fewer are done by repeating the first query or
// block and keeping only the verdicts asked for.
struct Avx2Tile {
  static constexpr std::size_t kQueries = 6;
  template <std::size_t kQ, std::size_t kB>
  TAMSEL_AVX2 static void run(const float* const* queries, const double* thresholds, std::size_t dim,
                              const float* group, std::size_t capacity, std::size_t block, const double* weights,
                              std::uint8_t* keep, std::size_t keep_stride) {
    const float* q0 = queries[0];
    const float* q1 = queries[kQ > 1 ? 1 : 0];
    const float* q2 = queries[kQ > 2 ? 2 : 0];
    const float* q3 = queries[kQ > 3 ? 3 : 0];
    const float* q4 = queries[kQ > 4 ? 4 : 0];
    const float* q5 = queries[kQ > 5 ? 5 : 0];
    __m256 s00 = _mm256_setzero_ps(), s01 = s00, s10 = s00, s11 = s00, s20 = s00, s21 = s00, s30 = s00, s31 = s00;
    __m256 s40 = s00, s41 = s00, s50 = s00, s51 = s00;
    for (std::size_t slab = 0; slab * kCheckpoint < dim; ++slab) {
      const std::size_t w = slab_width(dim, slab), at = slab * kCheckpoint;
      const float* x0 = group + slabbed_offset(dim, capacity, block, at);
      const float* x1 = kB > 1 ? x0 + kLanes * w : x0;
      for (std::size_t i = 0; i < w; ++i) {
        const __m256 a = _mm256_loadu_ps(x0 + i * kLanes), b = _mm256_loadu_ps(x1 + i * kLanes);
        __m256 q = _mm256_broadcast_ss(q0 + at + i);
        s00 = _mm256_add_ps(s00, _mm256_mul_ps(q, a));
        s01 = _mm256_add_ps(s01, _mm256_mul_ps(q, b));
        q = _mm256_broadcast_ss(q1 + at + i);
        s10 = _mm256_add_ps(s10, _mm256_mul_ps(q, a));
        s11 = _mm256_add_ps(s11, _mm256_mul_ps(q, b));
        q = _mm256_broadcast_ss(q2 + at + i);
        s20 = _mm256_add_ps(s20, _mm256_mul_ps(q, a));
        s21 = _mm256_add_ps(s21, _mm256_mul_ps(q, b));
        q = _mm256_broadcast_ss(q3 + at + i);
        s30 = _mm256_add_ps(s30, _mm256_mul_ps(q, a));
        s31 = _mm256_add_ps(s31, _mm256_mul_ps(q, b));
        q = _mm256_broadcast_ss(q4 + at + i);
        s40 = _mm256_add_ps(s40, _mm256_mul_ps(q, a));
        s41 = _mm256_add_ps(s41, _mm256_mul_ps(q, b));
        q = _mm256_broadcast_ss(q5 + at + i);
        s50 = _mm256_add_ps(s50, _mm256_mul_ps(q, a));
        s51 = _mm256_add_ps(s51, _mm256_mul_ps(q, b));
      }
    }
    const __m256 sums[6][2] = {{s00, s01}, {s10, s11}, {s20, s21}, {s30, s31}, {s40, s41}, {s50, s51}};
    for (std::size_t j = 0; j < kQ; ++j) {
      const __m256d threshold = _mm256_set1_pd(thresholds[j]);
      for (std::size_t b = 0; b < kB; ++b) {
        keep[j * keep_stride + b] = kept_avx2(sums[j][b], weights + b * kLanes, threshold);
      }
    }
  }
};

constexpr ProductScreenKernels kAvx2{"avx2", Avx2Tile::kQueries, weights_avx2, screen_with<Avx2Tile>};

std::vector<const ProductScreenKernels*> detect_supported() {
  std::vector<const ProductScreenKernels*> supported{&kPortable};
  __builtin_cpu_init();
  if (__builtin_cpu_supports("avx2")) supported.push_back(&kAvx2);
  return supported;
}

const std::vector<const ProductScreenKernels*>& supported() {
  static const std::vector<const ProductScreenKernels*> kernels = detect_supported();
  return kernels;
}

}  // namespace

double round_screened_query(std::span<const double> query, float* rounded) {
  // A component that is not finite as a float makes the sum infinite or NaN.
  double squared_norm = 0.0;
  for (std::size_t i = 0; i < query.size(); ++i) {
    rounded[i] = static_cast<float>(query[i]);
    const double v = rounded[i];
    squared_norm += v * v;
  }
  return squared_norm <= kMaxSquaredNorm ? squared_norm : kNaN;
}

double screen_weight(std::size_t dim, double squared_norm) { return weight(squared_norm, weight_factor(dim)); }

double screen_threshold(std::size_t dim, double query_squared_norm, double bound) {
  if (std::isnan(bound) || std::isnan(query_squared_norm)) return kNaN;
  // Every distance is >= 0: a negative bound is proved by proving 0.
  bound = std::max(bound, 0.0);
  const double root_n = std::sqrt(static_cast<double>(dim));
  const double b = (bound + root_n * 0x1p-499 + 0x1p-24 * std::sqrt(query_squared_norm) * (1.0 + 0x1p-30) +
                    root_n * 0x1p-123) *
                   (1.0 + 0x1p-30);
  const double a = b * b * (1.0 + 0x1p-20) + (static_cast<double>(dim) * 0x1p-120 + 0x1p-1000);
  return a - query_squared_norm * (1.0 - (k1(dim) + 0x1p-47));
}

const ProductScreenKernels& product_screen_kernels() {
  static const ProductScreenKernels& best = *supported().back();
  return best;
}

std::span<const ProductScreenKernels* const> supported_product_screen_kernels() { return supported(); }

}  // namespace tamsel
