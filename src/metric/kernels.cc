#include "metric/kernels.h"

#include <immintrin.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include "common/prefetch.h"

namespace tamsel {

namespace {

constexpr double kInfinity = std::numeric_limits<double>::infinity();

// ---------------------------------------------------------------------------
// Portable: plain scalar code, the lanes interleaved so that their
// independent sums overlap in the pipeline.

bool all_at_least(const double* sums, double bound) {
  for (std::size_t l = 0; l < kLanes; ++l) {
    if (!(std::sqrt(sums[l]) >= bound)) return false;
  }
  return true;
}

void fill_infinity(double* out) {
  for (std::size_t l = 0; l < kLanes; ++l) out[l] = kInfinity;
}

void euclidean_interleaved_portable(const double* query, std::size_t n, const double* block, double bound,
                                    double* out) {
  double sums[kLanes] = {};
  for (std::size_t i = 0; i < n; ++i) {
    if (i % kCheckpoint == 0 && i != 0 && all_at_least(sums, bound)) return fill_infinity(out);
    const double q = query[i];
    for (std::size_t l = 0; l < kLanes; ++l) {
      const double diff = q - block[i * kLanes + l];
      sums[l] += diff * diff;
    }
  }
  for (std::size_t l = 0; l < kLanes; ++l) out[l] = std::sqrt(sums[l]);
}

void dot_interleaved_portable(const double* query, std::size_t n, const double* block, double* out) {
  double sums[kLanes] = {};
  for (std::size_t i = 0; i < n; ++i) {
    const double q = query[i];
    for (std::size_t l = 0; l < kLanes; ++l) sums[l] += q * block[i * kLanes + l];
  }
  for (std::size_t l = 0; l < kLanes; ++l) out[l] = sums[l];
}

void euclidean_gathered_portable(const double* query, std::size_t n, const double* const* vectors, double bound,
                                 double* out) {
  double sums[kLanes] = {};
  for (std::size_t i = 0; i < n; ++i) {
    if (i % kCheckpoint == 0 && i != 0 && all_at_least(sums, bound)) return fill_infinity(out);
    const double q = query[i];
    for (std::size_t l = 0; l < kLanes; ++l) {
      const double diff = q - vectors[l][i];
      sums[l] += diff * diff;
    }
  }
  for (std::size_t l = 0; l < kLanes; ++l) out[l] = std::sqrt(sums[l]);
}

void dot_gathered_portable(const double* query, std::size_t n, const double* const* vectors, double* out) {
  double sums[kLanes] = {};
  for (std::size_t i = 0; i < n; ++i) {
    const double q = query[i];
    for (std::size_t l = 0; l < kLanes; ++l) sums[l] += q * vectors[l][i];
  }
  for (std::size_t l = 0; l < kLanes; ++l) out[l] = sums[l];
}

// The gathered screen: each lane's float sum in component order, tested at
// the checkpoints. Only lanes whose sum is finite and reaches the limit are
// ruled out; a NaN limit reaches nothing.
unsigned ruled_out(const float* sums, float limit) {
  unsigned out = 0;
  for (std::size_t l = 0; l < kLanes; ++l) {
    if (sums[l] >= limit && sums[l] <= std::numeric_limits<float>::max()) out |= 1u << l;
  }
  return out;
}

unsigned euclidean_screen_portable(const float* query, std::size_t from, std::size_t to,
                                   const float* const* vectors, float limit, float* sums) {
  for (std::size_t i = from; i < to; ++i) {
    if (i % kScreenCheckpoint == 0 && i != from && ruled_out(sums, limit) == (1u << kLanes) - 1) {
      return (1u << kLanes) - 1;
    }
    for (std::size_t l = 0; l < kLanes; ++l) {
      const float diff = query[i] - vectors[l][i];
      sums[l] += diff * diff;
    }
  }
  return ruled_out(sums, limit);
}

// The slabbed scans, shared by every variant: `add` adds one slab's terms
// for the listed blocks (block b's part at base + b * kLanes * w, its sums
// at sums + b * kLanes). Blocks are taken kChunk at a time, their running
// sums kept in `out`.
constexpr std::size_t kChunk = 64;

// The least sum whose square root is at least `bound`: since the square
// root is correctly rounded and monotone, sqrt(sum) >= bound exactly when
// sum >= this, and the checkpoints need no square roots. NaN for a NaN bound.
double squared_limit(double bound) {
  if (!(bound > 0.0)) return bound == bound ? 0.0 : bound;
  double limit = bound * bound;
  while (std::sqrt(limit) < bound) limit = std::nextafter(limit, kInfinity);
  while (limit > 0.0 && std::sqrt(std::nextafter(limit, 0.0)) >= bound) limit = std::nextafter(limit, 0.0);
  return limit;
}

// The rounded screen's limit for a query: a lane whose rounded sum reaches
// it has an exact distance of at least the bound (see kernels.h). Infinite
// or NaN when the screen cannot be used.
double screen_limit(const double* query, std::size_t dim, double bound) {
  if (dim > kMaxScreenedDim) return kInfinity;
  double norm2 = 0.0;
  for (std::size_t i = 0; i < dim; ++i) norm2 += query[i] * query[i];
  const double dims = static_cast<double>(dim);
  const double norm_up = std::sqrt(norm2 + dims * 0x1p-1074) * (1.0 + 0x1p-20);
  const double slack = (norm_up * 0x1p-23 + std::sqrt(dims) * 0x1p-124) * (1.0 + 0x1p-20);
  const double root = (bound + slack) * (1.0 + 0x1p-21);
  return root * root * (1.0 + 0x1p-40);
}

// Whether every lane's sum reaches `limit`; never for a NaN sum or limit.
bool all_reach(const double* sums, double limit) {
  for (std::size_t l = 0; l < kLanes; ++l) {
    if (!(sums[l] >= limit)) return false;
  }
  return true;
}

// Drops from `live` the blocks `gone` says are done, filling their outputs
// with +infinity.
template <class Done>
std::size_t keep_live(std::uint32_t* live, std::size_t live_count, double* out, Done gone) {
  std::size_t kept = 0;
  for (std::size_t j = 0; j < live_count; ++j) {
    if (gone(live[j])) {
      fill_infinity(out + live[j] * kLanes);
    } else {
      live[kept++] = live[j];
    }
  }
  return kept;
}

template <auto add_exact, auto add_rounded, auto reach>
void euclidean_slabbed_with(const double* query, std::size_t dim, const double* group, const float* rounded,
                            std::size_t capacity, std::size_t first, std::size_t count, double bound, double* out) {
  const double limit = squared_limit(bound);
  const double rough_limit = rounded != nullptr ? screen_limit(query, dim, bound) : kInfinity;
  const bool screened = rough_limit < kInfinity;  // false for NaN too
  std::uint32_t live[kChunk];
  alignas(64) double rough[kChunk * kLanes];
  for (std::size_t start = 0; start < count; start += kChunk) {
    const std::size_t n = std::min(kChunk, count - start);
    double* sums = out + start * kLanes;
    std::fill(sums, sums + n * kLanes, 0.0);
    std::size_t live_count = n;
    for (std::size_t b = 0; b < n; ++b) live[b] = static_cast<std::uint32_t>(b);
    // First the rounded copies, to rule out blocks from half the bytes.
    if (screened) {
      std::fill(rough, rough + n * kLanes, 0.0);
      for (std::size_t slab = 0; slab * kCheckpoint < dim && live_count != 0; ++slab) {
        add_rounded(query + slab * kCheckpoint, slab_width(dim, slab),
                    rounded + slabbed_offset(dim, capacity, first + start, slab * kCheckpoint), live, live_count, rough);
        live_count = keep_live(live, live_count, sums,
                               [&](std::uint32_t b) { return reach(rough + b * kLanes, rough_limit); });
      }
    }
    // Then the exact sums of the blocks left.
    for (std::size_t slab = 0; slab * kCheckpoint < dim && live_count != 0; ++slab) {
      const std::size_t w = slab_width(dim, slab);
      add_exact(query + slab * kCheckpoint, w, group + slabbed_offset(dim, capacity, first + start, slab * kCheckpoint),
                live, live_count, sums);
      if ((slab + 1) * kCheckpoint >= dim) break;
      // A checkpoint: the blocks whose lanes all reached the bound are left.
      live_count = keep_live(live, live_count, sums, [&](std::uint32_t b) { return reach(sums + b * kLanes, limit); });
    }
    for (std::size_t j = 0; j < live_count; ++j) {
      double* lane_sums = sums + live[j] * kLanes;
      for (std::size_t l = 0; l < kLanes; ++l) lane_sums[l] = std::sqrt(lane_sums[l]);
    }
  }
}

template <auto add>
void dot_slabbed_with(const double* query, std::size_t dim, const double* group, std::size_t capacity,
                      std::size_t first, std::size_t count, double* out) {
  std::uint32_t all[kChunk];
  for (std::size_t b = 0; b < kChunk; ++b) all[b] = static_cast<std::uint32_t>(b);
  for (std::size_t start = 0; start < count; start += kChunk) {
    const std::size_t n = std::min(kChunk, count - start);
    double* sums = out + start * kLanes;
    std::fill(sums, sums + n * kLanes, 0.0);
    for (std::size_t slab = 0; slab * kCheckpoint < dim; ++slab) {
      add(query + slab * kCheckpoint, slab_width(dim, slab),
          group + slabbed_offset(dim, capacity, first + start, slab * kCheckpoint), all, n, sums);
    }
  }
}

// After the first checkpoints the live blocks of a Euclidean scan lie
// scattered over the slab, where the processor's own prefetching does not
// follow; each slab kernel asks for the block kSlabAhead places on in
// `live` (all of its part of the slab) while it sums the present one.
constexpr std::size_t kSlabAhead = 4;

template <bool kSquares, class T>
TAMSEL_PREFETCH_HELPER void prefetch_live_block(const T* base, std::size_t w, const std::uint32_t* live, std::size_t n,
                                std::size_t j) {
  if (!kSquares || j >= n) return;
  const char* start = reinterpret_cast<const char*>(base + live[j] * kLanes * w);
  for (std::size_t offset = 0; offset < kLanes * w * sizeof(T); offset += 64) __builtin_prefetch(start + offset);
}

template <bool kSquares, class T>
void add_slab_portable(const double* q, std::size_t w, const T* base, const std::uint32_t* live, std::size_t n,
                       double* sums) {
  for (std::size_t j = 0; j < n; ++j) {
    prefetch_live_block<kSquares>(base, w, live, n, j + kSlabAhead);
    const T* data = base + live[j] * kLanes * w;
    double* s = sums + live[j] * kLanes;
    for (std::size_t i = 0; i < w; ++i) {
      for (std::size_t l = 0; l < kLanes; ++l) {
        const double x = data[i * kLanes + l];
        if constexpr (kSquares) {
          const double diff = q[i] - x;
          s[l] += diff * diff;
        } else {
          s[l] += q[i] * x;
        }
      }
    }
  }
}

constexpr BatchKernels kPortable{"portable",
                                 euclidean_interleaved_portable,
                                 dot_interleaved_portable,
                                 euclidean_gathered_portable,
                                 dot_gathered_portable,
                                 euclidean_screen_portable,
                                 euclidean_slabbed_with<add_slab_portable<true, double>, add_slab_portable<true, float>,
                                                        all_reach>,
                                 dot_slabbed_with<add_slab_portable<false, double>>};

// ---------------------------------------------------------------------------
// AVX2: two 4-lane registers per batch. Gathered lanes are loaded four
// components at a time and transposed in registers, so that each register
// lane still holds one vector.

#define TAMSEL_AVX2 __attribute__((target("avx2")))

TAMSEL_AVX2 inline bool all_at_least_avx2(__m256d low, __m256d high, double bound) {
  const __m256d limit = _mm256_set1_pd(bound);
  const __m256d ok_low = _mm256_cmp_pd(_mm256_sqrt_pd(low), limit, _CMP_GE_OQ);
  const __m256d ok_high = _mm256_cmp_pd(_mm256_sqrt_pd(high), limit, _CMP_GE_OQ);
  return _mm256_movemask_pd(_mm256_and_pd(ok_low, ok_high)) == 0xF;
}

TAMSEL_AVX2 void euclidean_interleaved_avx2(const double* query, std::size_t n, const double* block, double bound,
                                            double* out) {
  __m256d low = _mm256_setzero_pd(), high = _mm256_setzero_pd();
  for (std::size_t i = 0; i < n; ++i) {
    if (i % kCheckpoint == 0 && i != 0 && all_at_least_avx2(low, high, bound)) return fill_infinity(out);
    const __m256d q = _mm256_broadcast_sd(query + i);
    const __m256d diff_low = _mm256_sub_pd(q, _mm256_loadu_pd(block + i * kLanes));
    const __m256d diff_high = _mm256_sub_pd(q, _mm256_loadu_pd(block + i * kLanes + 4));
    low = _mm256_add_pd(low, _mm256_mul_pd(diff_low, diff_low));
    high = _mm256_add_pd(high, _mm256_mul_pd(diff_high, diff_high));
  }
  _mm256_storeu_pd(out, _mm256_sqrt_pd(low));
  _mm256_storeu_pd(out + 4, _mm256_sqrt_pd(high));
}

TAMSEL_AVX2 void dot_interleaved_avx2(const double* query, std::size_t n, const double* block, double* out) {
  __m256d low = _mm256_setzero_pd(), high = _mm256_setzero_pd();
  for (std::size_t i = 0; i < n; ++i) {
    const __m256d q = _mm256_broadcast_sd(query + i);
    low = _mm256_add_pd(low, _mm256_mul_pd(q, _mm256_loadu_pd(block + i * kLanes)));
    high = _mm256_add_pd(high, _mm256_mul_pd(q, _mm256_loadu_pd(block + i * kLanes + 4)));
  }
  _mm256_storeu_pd(out, low);
  _mm256_storeu_pd(out + 4, high);
}

// Components i .. i+3 of four vectors, transposed: column c holds component
// i + c of the four vectors, lane l from vector l.
struct Columns4 {
  __m256d c0, c1, c2, c3;
};

TAMSEL_AVX2 inline Columns4 load_transposed(const double* const* vectors, std::size_t i) {
  const __m256d r0 = _mm256_loadu_pd(vectors[0] + i), r1 = _mm256_loadu_pd(vectors[1] + i);
  const __m256d r2 = _mm256_loadu_pd(vectors[2] + i), r3 = _mm256_loadu_pd(vectors[3] + i);
  const __m256d t0 = _mm256_unpacklo_pd(r0, r1), t1 = _mm256_unpackhi_pd(r0, r1);
  const __m256d t2 = _mm256_unpacklo_pd(r2, r3), t3 = _mm256_unpackhi_pd(r2, r3);
  return {_mm256_permute2f128_pd(t0, t2, 0x20), _mm256_permute2f128_pd(t1, t3, 0x20),
          _mm256_permute2f128_pd(t0, t2, 0x31), _mm256_permute2f128_pd(t1, t3, 0x31)};
}

TAMSEL_AVX2 inline __m256d add_square(__m256d sum, __m256d q, __m256d x) {
  const __m256d diff = _mm256_sub_pd(q, x);
  return _mm256_add_pd(sum, _mm256_mul_pd(diff, diff));
}

TAMSEL_AVX2 inline __m256d add_product(__m256d sum, __m256d q, __m256d x) {
  return _mm256_add_pd(sum, _mm256_mul_pd(q, x));
}

// Adds components i .. i+3 of the eight vectors with `step` (add_square or
// add_product), in component order within each lane.
template <__m256d (*step)(__m256d, __m256d, __m256d)>
TAMSEL_AVX2 inline void add_four(const double* query, const double* const* vectors, std::size_t i, __m256d& low,
                                 __m256d& high) {
  const Columns4 a = load_transposed(vectors, i);
  const Columns4 b = load_transposed(vectors + 4, i);
  const __m256d q0 = _mm256_broadcast_sd(query + i), q1 = _mm256_broadcast_sd(query + i + 1);
  const __m256d q2 = _mm256_broadcast_sd(query + i + 2), q3 = _mm256_broadcast_sd(query + i + 3);
  low = step(low, q0, a.c0);
  high = step(high, q0, b.c0);
  low = step(low, q1, a.c1);
  high = step(high, q1, b.c1);
  low = step(low, q2, a.c2);
  high = step(high, q2, b.c2);
  low = step(low, q3, a.c3);
  high = step(high, q3, b.c3);
}

TAMSEL_AVX2 void euclidean_gathered_avx2(const double* query, std::size_t n, const double* const* vectors,
                                         double bound, double* out) {
  __m256d low = _mm256_setzero_pd(), high = _mm256_setzero_pd();
  std::size_t i = 0;
  for (; i + 4 <= n; i += 4) {
    if (i % kCheckpoint == 0 && i != 0 && all_at_least_avx2(low, high, bound)) return fill_infinity(out);
    add_four<add_square>(query, vectors, i, low, high);
  }
  alignas(32) double sums[kLanes];
  _mm256_store_pd(sums, low);
  _mm256_store_pd(sums + 4, high);
  for (; i < n; ++i) {
    for (std::size_t l = 0; l < kLanes; ++l) {
      const double diff = query[i] - vectors[l][i];
      sums[l] += diff * diff;
    }
  }
  _mm256_storeu_pd(out, _mm256_sqrt_pd(_mm256_load_pd(sums)));
  _mm256_storeu_pd(out + 4, _mm256_sqrt_pd(_mm256_load_pd(sums + 4)));
}

TAMSEL_AVX2 void dot_gathered_avx2(const double* query, std::size_t n, const double* const* vectors, double* out) {
  __m256d low = _mm256_setzero_pd(), high = _mm256_setzero_pd();
  std::size_t i = 0;
  for (; i + 4 <= n; i += 4) {
    add_four<add_product>(query, vectors, i, low, high);
  }
  alignas(32) double sums[kLanes];
  _mm256_store_pd(sums, low);
  _mm256_store_pd(sums + 4, high);
  for (; i < n; ++i) {
    for (std::size_t l = 0; l < kLanes; ++l) sums[l] += query[i] * vectors[l][i];
  }
  for (std::size_t l = 0; l < kLanes; ++l) out[l] = sums[l];
}

// The gathered screen: one float accumulator per lane, eight components
// wide, reduced to the eight lane sums at each checkpoint.
TAMSEL_AVX2 inline unsigned ruled_out_avx2(const __m256* acc, __m256 limit, float* lane_sums) {
  const __m256 h01 = _mm256_hadd_ps(acc[0], acc[1]), h23 = _mm256_hadd_ps(acc[2], acc[3]);
  const __m256 h45 = _mm256_hadd_ps(acc[4], acc[5]), h67 = _mm256_hadd_ps(acc[6], acc[7]);
  const __m256 h0123 = _mm256_hadd_ps(h01, h23), h4567 = _mm256_hadd_ps(h45, h67);
  const __m256 sums = _mm256_add_ps(_mm256_permute2f128_ps(h0123, h4567, 0x20),
                                    _mm256_permute2f128_ps(h0123, h4567, 0x31));
  _mm256_storeu_ps(lane_sums, sums);
  const __m256 reached = _mm256_and_ps(_mm256_cmp_ps(sums, limit, _CMP_GE_OQ),
                                       _mm256_cmp_ps(sums, _mm256_set1_ps(std::numeric_limits<float>::max()),
                                                     _CMP_LE_OQ));
  return static_cast<unsigned>(_mm256_movemask_ps(reached));
}

TAMSEL_AVX2 inline void add_squares8(__m256* acc, __m256 q, const float* const* vectors, std::size_t i) {
  for (std::size_t l = 0; l < kLanes; ++l) {
    const __m256 diff = _mm256_sub_ps(q, _mm256_loadu_ps(vectors[l] + i));
    acc[l] = _mm256_add_ps(acc[l], _mm256_mul_ps(diff, diff));
  }
}

TAMSEL_AVX2 unsigned euclidean_screen_avx2(const float* query, std::size_t from, std::size_t n,
                                           const float* const* vectors, float limit, float* sums) {
  const __m256 at = _mm256_set1_ps(limit);
  __m256 acc[kLanes];
  for (std::size_t l = 0; l < kLanes; ++l) acc[l] = _mm256_setr_ps(sums[l], 0, 0, 0, 0, 0, 0, 0);
  std::size_t i = from;
  for (; i + 8 <= n; i += 8) {
    if (i % kScreenCheckpoint == 0 && i != from && ruled_out_avx2(acc, at, sums) == (1u << kLanes) - 1) {
      return (1u << kLanes) - 1;
    }
    add_squares8(acc, _mm256_loadu_ps(query + i), vectors, i);
  }
  if (i < n) {
    // The tail through masked loads: the masked-off places are 0 - 0, which
    // adds nothing.
    const __m256i mask = _mm256_cmpgt_epi32(_mm256_set1_epi32(static_cast<int>(n - i)),
                                            _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7));
    const __m256 q = _mm256_maskload_ps(query + i, mask);
    for (std::size_t l = 0; l < kLanes; ++l) {
      const __m256 diff = _mm256_sub_ps(q, _mm256_maskload_ps(vectors[l] + i, mask));
      acc[l] = _mm256_add_ps(acc[l], _mm256_mul_ps(diff, diff));
    }
  }
  return ruled_out_avx2(acc, at, sums);
}

TAMSEL_AVX2 inline __m256d load4(const double* p) { return _mm256_loadu_pd(p); }
TAMSEL_AVX2 inline __m256d load4(const float* p) { return _mm256_cvtps_pd(_mm_loadu_ps(p)); }

template <bool kSquares, class T>
TAMSEL_AVX2 void add_slab_avx2(const double* q, std::size_t w, const T* base, const std::uint32_t* live,
                               std::size_t n, double* sums) {
  constexpr auto step = kSquares ? add_square : add_product;
  for (std::size_t j = 0; j < n; ++j) {
    prefetch_live_block<kSquares>(base, w, live, n, j + kSlabAhead);
    const T* data = base + live[j] * kLanes * w;
    double* s = sums + live[j] * kLanes;
    __m256d low = _mm256_loadu_pd(s), high = _mm256_loadu_pd(s + 4);
    for (std::size_t i = 0; i < w; ++i) {
      const __m256d qi = _mm256_broadcast_sd(q + i);
      low = step(low, qi, load4(data + i * kLanes));
      high = step(high, qi, load4(data + i * kLanes + 4));
    }
    _mm256_storeu_pd(s, low);
    _mm256_storeu_pd(s + 4, high);
  }
}

TAMSEL_AVX2 bool all_reach_avx2(const double* sums, double limit) {
  const __m256d at = _mm256_set1_pd(limit);
  const __m256d ok = _mm256_and_pd(_mm256_cmp_pd(_mm256_loadu_pd(sums), at, _CMP_GE_OQ),
                                   _mm256_cmp_pd(_mm256_loadu_pd(sums + 4), at, _CMP_GE_OQ));
  return _mm256_movemask_pd(ok) == 0xF;
}

constexpr BatchKernels kAvx2{"avx2",
                             euclidean_interleaved_avx2,
                             dot_interleaved_avx2,
                             euclidean_gathered_avx2,
                             dot_gathered_avx2,
                             euclidean_screen_avx2,
                             euclidean_slabbed_with<add_slab_avx2<true, double>, add_slab_avx2<true, float>, all_reach_avx2>,
                             dot_slabbed_with<add_slab_avx2<false, double>>};

// ---------------------------------------------------------------------------
// AVX-512: one 8-lane register per interleaved batch. Gathered batches use
// the AVX2 transposes, which measured faster here than 8-wide gathers.

#define TAMSEL_AVX512 __attribute__((target("avx512f")))

// GCC 12's own _mm512_undefined_pd trips -Wmaybe-uninitialized inside the
// intrinsic headers; the warning is about the header, not this code.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"

TAMSEL_AVX512 void euclidean_interleaved_avx512(const double* query, std::size_t n, const double* block,
                                                double bound, double* out) {
  __m512d sum = _mm512_setzero_pd();
  const __m512d limit = _mm512_set1_pd(bound);
  for (std::size_t i = 0; i < n; ++i) {
    if (i % kCheckpoint == 0 && i != 0 &&
        _mm512_cmp_pd_mask(_mm512_sqrt_pd(sum), limit, _CMP_GE_OQ) == 0xFF) {
      return fill_infinity(out);
    }
    const __m512d diff = _mm512_sub_pd(_mm512_set1_pd(query[i]), _mm512_loadu_pd(block + i * kLanes));
    sum = _mm512_add_pd(sum, _mm512_mul_pd(diff, diff));
  }
  _mm512_storeu_pd(out, _mm512_sqrt_pd(sum));
}

TAMSEL_AVX512 void dot_interleaved_avx512(const double* query, std::size_t n, const double* block, double* out) {
  __m512d sum = _mm512_setzero_pd();
  for (std::size_t i = 0; i < n; ++i) {
    sum = _mm512_add_pd(sum, _mm512_mul_pd(_mm512_set1_pd(query[i]), _mm512_loadu_pd(block + i * kLanes)));
  }
  _mm512_storeu_pd(out, sum);
}

template <bool kSquares>
TAMSEL_AVX512 inline __m512d step_avx512(__m512d sum, __m512d q, __m512d x) {
  if constexpr (kSquares) {
    const __m512d diff = _mm512_sub_pd(q, x);
    return _mm512_add_pd(sum, _mm512_mul_pd(diff, diff));
  } else {
    return _mm512_add_pd(sum, _mm512_mul_pd(q, x));
  }
}

TAMSEL_AVX512 inline __m512d load8(const double* p) { return _mm512_loadu_pd(p); }
TAMSEL_AVX512 inline __m512d load8(const float* p) { return _mm512_cvtps_pd(_mm256_loadu_ps(p)); }

// Four blocks side by side, so that their sums' latencies overlap.
template <bool kSquares, class T>
TAMSEL_AVX512 void add_slab_avx512(const double* q, std::size_t w, const T* base, const std::uint32_t* live,
                                   std::size_t n, double* sums) {
  const std::size_t stride = kLanes * w;
  std::size_t j = 0;
  for (; j + 4 <= n; j += 4) {
    for (std::size_t k = 0; k < 4; ++k) prefetch_live_block<kSquares>(base, w, live, n, j + kSlabAhead + k);
    const T* d0 = base + live[j] * stride;
    const T* d1 = base + live[j + 1] * stride;
    const T* d2 = base + live[j + 2] * stride;
    const T* d3 = base + live[j + 3] * stride;
    double* s0 = sums + live[j] * kLanes;
    double* s1 = sums + live[j + 1] * kLanes;
    double* s2 = sums + live[j + 2] * kLanes;
    double* s3 = sums + live[j + 3] * kLanes;
    __m512d a0 = _mm512_loadu_pd(s0), a1 = _mm512_loadu_pd(s1), a2 = _mm512_loadu_pd(s2), a3 = _mm512_loadu_pd(s3);
    for (std::size_t i = 0; i < w; ++i) {
      const __m512d qi = _mm512_set1_pd(q[i]);
      a0 = step_avx512<kSquares>(a0, qi, load8(d0 + i * kLanes));
      a1 = step_avx512<kSquares>(a1, qi, load8(d1 + i * kLanes));
      a2 = step_avx512<kSquares>(a2, qi, load8(d2 + i * kLanes));
      a3 = step_avx512<kSquares>(a3, qi, load8(d3 + i * kLanes));
    }
    _mm512_storeu_pd(s0, a0);
    _mm512_storeu_pd(s1, a1);
    _mm512_storeu_pd(s2, a2);
    _mm512_storeu_pd(s3, a3);
  }
  for (; j < n; ++j) {
    prefetch_live_block<kSquares>(base, w, live, n, j + kSlabAhead);
    const T* data = base + live[j] * stride;
    double* s = sums + live[j] * kLanes;
    __m512d a = _mm512_loadu_pd(s);
    for (std::size_t i = 0; i < w; ++i) a = step_avx512<kSquares>(a, _mm512_set1_pd(q[i]), load8(data + i * kLanes));
    _mm512_storeu_pd(s, a);
  }
}

TAMSEL_AVX512 bool all_reach_avx512(const double* sums, double limit) {
  return _mm512_cmp_pd_mask(_mm512_loadu_pd(sums), _mm512_set1_pd(limit), _CMP_GE_OQ) == 0xFF;
}

#pragma GCC diagnostic pop

constexpr BatchKernels kAvx512{"avx512",
                               euclidean_interleaved_avx512,
                               dot_interleaved_avx512,
                               euclidean_gathered_avx2,
                               dot_gathered_avx2,
                               euclidean_screen_avx2,
                               euclidean_slabbed_with<add_slab_avx512<true, double>, add_slab_avx512<true, float>,
                                                      all_reach_avx512>,
                               dot_slabbed_with<add_slab_avx512<false, double>>};

std::vector<const BatchKernels*> detect_supported() {
  std::vector<const BatchKernels*> supported{&kPortable};
  __builtin_cpu_init();
  if (__builtin_cpu_supports("avx2")) supported.push_back(&kAvx2);
  if (__builtin_cpu_supports("avx512f")) supported.push_back(&kAvx512);
  return supported;
}

const std::vector<const BatchKernels*>& supported() {
  static const std::vector<const BatchKernels*> kernels = detect_supported();
  return kernels;
}

}  // namespace

double screen_query_norm(const double* query, std::size_t n) {
  if (n > kMaxScreenedDim) return kInfinity;
  double norm2 = 0.0;
  for (std::size_t i = 0; i < n; ++i) {
    if (!std::isfinite(static_cast<float>(query[i]))) return kInfinity;
    norm2 += query[i] * query[i];
  }
  return std::sqrt(norm2 + static_cast<double>(n) * 0x1p-1074) * (1.0 + 0x1p-20);
}

float gathered_screen_limit(double query_norm, std::size_t n, double bound) {
  constexpr float kNone = std::numeric_limits<float>::quiet_NaN();
  if (!(query_norm < kInfinity) || !(bound < kInfinity) || n > kMaxScreenedDim) return kNone;
  const double dims = static_cast<double>(n);
  // Every product and sum below is rounded once or twice; the margins of
  // 2^-20 and 2^-40 cover those roundings many times over.
  // The slack's last term takes sqrt(n) + 1, so that R^2 stays a normal
  // double even when n and the bound are 0.
  // Its last term also covers subnormal floats read as zero (see kernels.h).
  const double slack = (query_norm * 0x1p-22 + (std::sqrt(dims) + 1.0) * 0x1p-122) * (1.0 + 0x1p-20);
  const double root = std::max(bound + slack, 0.0) * (1.0 + 0x1p-22) * (1.0 + 0x1p-40);
  const double growth = 1.0 + dims * 0x1p-24 * (16.0 / 15.0) * (1.0 + 0x1p-20);  // 1 + g, as n u <= 1/16
  const double limit = growth * (root * root * (1.0 + 0x1p-22) + dims * 0x1p-150) * (1.0 + 0x1p-40);
  if (!(limit <= std::numeric_limits<float>::max())) return kNone;
  float rounded = static_cast<float>(limit);
  if (static_cast<double>(rounded) < limit) rounded = std::nextafter(rounded, std::numeric_limits<float>::infinity());
  // A subnormal limit could itself be read as zero.
  rounded = std::max(rounded, std::numeric_limits<float>::min());
  return std::isfinite(rounded) ? rounded : kNone;
}

const BatchKernels& batch_kernels() {
  static const BatchKernels& best = *supported().back();
  return best;
}

std::span<const BatchKernels* const> supported_batch_kernels() { return supported(); }

}  // namespace tamsel
