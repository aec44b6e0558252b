#include "hnsw/row_walk.h"

#include <immintrin.h>

#include <cstring>
#include <vector>

namespace tamsel {

namespace {

// One entry: its slot is written whatever it holds, and the count moves on
// past it when it is fresh. `mark` is above every stale byte, so the test
// is one compare whose carry is the step.
inline void step(std::uint32_t id, const std::uint8_t* marks, std::uint8_t mark, std::uint32_t* fresh,
                 std::size_t& count) {
  fresh[count] = id;
  count += marks[id] < mark;
}

// Four 16-bit or two 32-bit entries come in one 64-bit load, which leaves
// the load ports to the marks and the slots.
template <class Id>
std::size_t fresh_portable(const Id* ids, std::size_t n, const std::uint8_t* marks, std::uint8_t mark,
                           std::uint32_t* fresh) {
  constexpr std::size_t kPerLoad = sizeof(std::uint64_t) / sizeof(Id);
  std::size_t count = 0, i = 0;
  for (; i + kPerLoad <= n; i += kPerLoad) {
    std::uint64_t entries;
    std::memcpy(&entries, ids + i, sizeof entries);
    for (std::size_t k = 0; k < kPerLoad; ++k) {
      step(static_cast<Id>(entries >> (k * 8 * sizeof(Id))), marks, mark, fresh, count);
    }
  }
  for (; i < n; ++i) step(ids[i], marks, mark, fresh, count);
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
// (An eight-wide AVX2 form of the same, gather and permutation table, was
// slower than the portable loop on AMD Zen 3, whose gathers are slow.)
template <class Id>
TAMSEL_AVX512 std::size_t fresh_avx512(const Id* ids, std::size_t n, const std::uint8_t* marks, std::uint8_t mark,
                                       std::uint32_t* fresh) {
  const __m512i wanted = _mm512_set1_epi32(mark), low_byte = _mm512_set1_epi32(0xFF);
  std::size_t count = 0, i = 0;
  for (; i + 16 <= n; i += 16) {
    const __m512i entries = load16(ids + i);
    const __m512i got = _mm512_and_si512(_mm512_i32gather_epi32(entries, marks, 1), low_byte);
    const __mmask16 is_fresh = _mm512_cmplt_epu32_mask(got, wanted);
    _mm512_storeu_si512(fresh + count, _mm512_maskz_compress_epi32(is_fresh, entries));
    count += static_cast<std::size_t>(__builtin_popcount(is_fresh));
  }
  return count + fresh_portable(ids + i, n - i, marks, mark, fresh + count);
}

#pragma GCC diagnostic pop

template <class Id>
std::size_t portable(std::span<const Id> list, const std::uint8_t* marks, std::uint8_t mark, std::uint32_t* fresh) {
  return fresh_portable(list.data(), list.size(), marks, mark, fresh);
}

template <class Id>
std::size_t avx512(std::span<const Id> list, const std::uint8_t* marks, std::uint8_t mark, std::uint32_t* fresh) {
  return fresh_avx512(list.data(), list.size(), marks, mark, fresh);
}

std::vector<RowWalk> find_supported() {
  std::vector<RowWalk> walks{{"portable", portable<std::uint16_t>, portable<std::uint32_t>}};
  __builtin_cpu_init();
  if (__builtin_cpu_supports("avx512f")) walks.push_back({"avx512", avx512<std::uint16_t>, avx512<std::uint32_t>});
  return walks;
}

const std::vector<RowWalk> kSupported = find_supported();
const RowWalk kChosen = kSupported.back();

}  // namespace

std::size_t fresh_entries(std::span<const std::uint16_t> list, const std::uint8_t* marks, std::uint8_t mark,
                          std::uint32_t* fresh) {
  return kChosen.narrow(list, marks, mark, fresh);
}

std::size_t fresh_entries(std::span<const std::uint32_t> list, const std::uint8_t* marks, std::uint8_t mark,
                          std::uint32_t* fresh) {
  return kChosen.wide(list, marks, mark, fresh);
}

std::span<const RowWalk> supported_row_walks() { return kSupported; }

}  // namespace tamsel
