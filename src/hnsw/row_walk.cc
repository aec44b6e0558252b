#include "hnsw/row_walk.h"

#include <immintrin.h>

namespace tamsel {

namespace {

template <class Id>
std::size_t fresh_portable(const Id* ids, std::size_t n, const std::uint8_t* marks, std::uint8_t mark,
                           std::uint32_t* fresh) {
  std::size_t count = 0;
  for (std::size_t i = 0; i < n; ++i) {
    fresh[count] = ids[i];
    count += marks[ids[i]] != mark;
  }
  return count;
}

#define TAMSEL_AVX512 __attribute__((target("avx512f")))

// GCC 12's own undefined-vector helpers trip -Wmaybe-uninitialized inside
// the intrinsic headers; the warning is about the header, not this code.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"

TAMSEL_AVX512 inline __m512i load16(const std::uint16_t* ids) {
  return _mm512_cvtepu16_epi32(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(ids)));
}
TAMSEL_AVX512 inline __m512i load16(const std::uint32_t* ids) { return _mm512_loadu_si512(ids); }

// Sixteen entries at a time: their marks gathered (four bytes each, the
// low one kept), compared, and the fresh entries packed in list order.
template <class Id>
TAMSEL_AVX512 std::size_t fresh_avx512(const Id* ids, std::size_t n, const std::uint8_t* marks, std::uint8_t mark,
                                       std::uint32_t* fresh) {
  const __m512i wanted = _mm512_set1_epi32(mark), low_byte = _mm512_set1_epi32(0xFF);
  std::size_t count = 0, i = 0;
  for (; i + 16 <= n; i += 16) {
    const __m512i entries = load16(ids + i);
    const __m512i got = _mm512_and_si512(_mm512_i32gather_epi32(entries, marks, 1), low_byte);
    const __mmask16 is_fresh = _mm512_cmpneq_epi32_mask(got, wanted);
    _mm512_storeu_si512(fresh + count, _mm512_maskz_compress_epi32(is_fresh, entries));
    count += static_cast<std::size_t>(__builtin_popcount(is_fresh));
  }
  return count + fresh_portable(ids + i, n - i, marks, mark, fresh + count);
}

#pragma GCC diagnostic pop

bool has_avx512() {
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx512f");
}

const bool kAvx512 = has_avx512();

}  // namespace

std::size_t fresh_entries(std::span<const std::uint16_t> list, const std::uint8_t* marks, std::uint8_t mark,
                          std::uint32_t* fresh) {
  return kAvx512 ? fresh_avx512(list.data(), list.size(), marks, mark, fresh)
                 : fresh_portable(list.data(), list.size(), marks, mark, fresh);
}

std::size_t fresh_entries(std::span<const std::uint32_t> list, const std::uint8_t* marks, std::uint8_t mark,
                          std::uint32_t* fresh) {
  return kAvx512 ? fresh_avx512(list.data(), list.size(), marks, mark, fresh)
                 : fresh_portable(list.data(), list.size(), marks, mark, fresh);
}

}  // namespace tamsel
