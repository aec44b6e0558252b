#include "metric/kernels.h"

#include <immintrin.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <limits>
#include <vector>

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

// One block after another; every variant agrees on the checkpoints, so
// they agree on which blocks are left early.
template <void (*interleaved)(const double*, std::size_t, const double*, double, double*)>
void euclidean_blocks_one_by_one(const double* query, std::size_t dim, const double* blocks, std::size_t block_count,
                                 double bound, double* out) {
  for (std::size_t b = 0; b < block_count; ++b) interleaved(query, dim, blocks + b * kLanes * dim, bound, out + b * kLanes);
}

constexpr BatchKernels kPortable{"portable",
                                 euclidean_interleaved_portable,
                                 dot_interleaved_portable,
                                 euclidean_gathered_portable,
                                 dot_gathered_portable,
                                 euclidean_blocks_one_by_one<euclidean_interleaved_portable>};

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

constexpr BatchKernels kAvx2{"avx2",
                             euclidean_interleaved_avx2,
                             dot_interleaved_avx2,
                             euclidean_gathered_avx2,
                             dot_gathered_avx2,
                             euclidean_blocks_one_by_one<euclidean_interleaved_avx2>};

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

// Four blocks in flight, each at its own component, advancing a checkpoint's
// worth of components at a time. A block that finishes, or whose lanes all
// reach the bound, makes room for the next block of the run.
TAMSEL_AVX512 void euclidean_blocks_avx512(const double* query, std::size_t dim, const double* blocks,
                                           std::size_t block_count, double bound, double* out) {
  constexpr int kSlots = 4;
  alignas(64) static const double kZeros[kCheckpoint * kLanes] = {};
  const __m512d limit = _mm512_set1_pd(bound);
  std::size_t block[kSlots] = {}, component[kSlots] = {};
  bool live[kSlots];
  __m512d sum[kSlots];
  std::size_t next = 0;
  for (int s = 0; s < kSlots; ++s) {
    live[s] = next < block_count;
    block[s] = next++;
    sum[s] = _mm512_setzero_pd();
  }
  while (live[0] || live[1] || live[2] || live[3]) {
    // A dead slot reads zeros, so the step below needs no branch.
    std::size_t length = kCheckpoint;
    const double* data[kSlots];
    const double* q[kSlots];
    for (int s = 0; s < kSlots; ++s) {
      if (live[s]) {
        // Never past a slot's next checkpoint, so every slot stops at each.
        length = std::min({length, dim - component[s], kCheckpoint - component[s] % kCheckpoint});
        data[s] = blocks + block[s] * kLanes * dim + component[s] * kLanes;
        q[s] = query + component[s];
      } else {
        data[s] = kZeros;
        q[s] = kZeros;
      }
    }
    for (std::size_t i = 0; i < length; ++i) {
      for (int s = 0; s < kSlots; ++s) {
        const __m512d diff = _mm512_sub_pd(_mm512_set1_pd(q[s][i]), _mm512_loadu_pd(data[s] + i * kLanes));
        sum[s] = _mm512_add_pd(sum[s], _mm512_mul_pd(diff, diff));
      }
    }
    for (int s = 0; s < kSlots; ++s) {
      if (!live[s]) continue;
      component[s] += length;
      const bool done = component[s] == dim;
      // Checkpoints fall every kCheckpoint components, as in the other kernels.
      const bool hopeless = !done && component[s] % kCheckpoint == 0 &&
                            _mm512_cmp_pd_mask(_mm512_sqrt_pd(sum[s]), limit, _CMP_GE_OQ) == 0xFF;
      if (!done && !hopeless) continue;
      _mm512_storeu_pd(out + block[s] * kLanes,
                       done ? _mm512_sqrt_pd(sum[s]) : _mm512_set1_pd(std::numeric_limits<double>::infinity()));
      live[s] = next < block_count;
      block[s] = next++;
      component[s] = 0;
      sum[s] = _mm512_setzero_pd();
    }
  }
}

#pragma GCC diagnostic pop

constexpr BatchKernels kAvx512{"avx512",
                               euclidean_interleaved_avx512,
                               dot_interleaved_avx512,
                               euclidean_gathered_avx2,
                               dot_gathered_avx2,
                               euclidean_blocks_avx512};

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

const BatchKernels& batch_kernels() {
  static const BatchKernels& best = *supported().back();
  return best;
}

std::span<const BatchKernels* const> supported_batch_kernels() { return supported(); }

}  // namespace tamsel
