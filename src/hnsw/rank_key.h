// Rank keys: the distance order as signed 64-bit integers, for the hot
// loops of the layer search. ranks_before(x, y) holds exactly when
// rank_key(x) < rank_key(y), and ranks_equal(x, y) exactly when the keys are
// equal: both zeros meet at key 0 and every NaN takes the top key, after
// every number. A key stands beside its distance, never for it: it forgets
// the sign of a zero and the payload of a NaN.
//
// Pure functions; safe from any thread.
#pragma once

#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>

namespace tamsel {

inline constexpr std::int64_t kNaNKey = std::numeric_limits<std::int64_t>::max();

inline std::int64_t rank_key(double d) {
  if (std::isnan(d)) return kNaNKey;
  // Adding +0.0 turns -0.0 into +0.0 and changes nothing else. A negative
  // number's magnitude bits are flipped, so that larger magnitudes rank first.
  const auto bits = std::bit_cast<std::int64_t>(d + 0.0);
  return bits ^ ((bits >> 63) & std::numeric_limits<std::int64_t>::max());
}

// A node ranked by its distance's key.
struct RankedNode {
  std::int64_t key;
  std::uint32_t id;
};

// Where a pair with key k enters a list in rank order: directly before the
// last pair of an equal key when there is one, else after every pair of a
// smaller key. The rule of result_insertion_position (hnsw/hnsw.h), without
// a branch on the values.
inline std::size_t rank_insertion_position(std::span<const RankedNode> list, std::int64_t k) {
  // Pairs with keys up to k, counted by a halving search with no branch.
  const RankedNode* base = list.data();
  std::size_t size = list.size();
  while (size > 1) {
    const std::size_t half = size / 2;
    base = base[half].key <= k ? base + half : base;
    size -= half;
  }
  const std::size_t upto = static_cast<std::size_t>(base - list.data()) + (size == 1 && base->key <= k ? 1 : 0);
  return upto - (upto > 0 && list[upto - 1].key == k ? 1 : 0);
}

}  // namespace tamsel
