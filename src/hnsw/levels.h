// Node levels: the draw from the level weights, the source insertion takes
// levels from, and the calling thread's random generator behind it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace tamsel {

// The level for a uniform double r in [0, 1): the first index j at which the
// running sum of weights[0..j] exceeds r times the sum of all weights; when
// none does (no weights), the last layer, layers - 1 (wrapping to the
// largest value for 0 layers).
std::uint32_t draw_level(std::span<const double> weights, std::uint32_t layers, double r);

// Where insertion takes the level of each node after the first from.
class LevelSource {
 public:
  virtual ~LevelSource() = default;
  virtual std::uint32_t next_level(std::span<const double> weights, std::uint32_t layers) = 0;
};

// Levels drawn with the calling thread's generator.
class ThreadRandomLevels final : public LevelSource {
 public:
  std::uint32_t next_level(std::span<const double> weights, std::uint32_t layers) override;
};

// A uniform double in [0, 1) from the calling thread's generator: the top 53
// bits of a 64-bit output times 2^-53. The generator is seeded from the
// operating system's random source when the thread first uses it and
// reseeded from it periodically, and in a forked child before its first draw
// there (so parent and child draw apart); no seed can be set. Panics with "could not
// initialize ThreadRng: ..." when the source cannot seed it.
double thread_uniform_double();

// The operating system's random source: fills the buffer and returns 0, or
// returns an errno value. Replaceable so that tests can make it fail; a
// thread's generator reads it when first used and when reseeding.
using RandomSourceFn = int (*)(void* buffer, std::size_t size);
void set_random_source_for_testing(RandomSourceFn source);  // null restores the real one

}  // namespace tamsel
