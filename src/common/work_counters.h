// Work counters for the benchmark build: distances measured, and neighbour
// list entries walked. They are compiled in only with TAMSEL_COUNTERS, for
// the program that shows the work the engine avoids; elsewhere the calls
// vanish. Not synchronised: the benchmark runs on one thread.
#pragma once

#include <cstdint>

namespace tamsel {

struct WorkCounters {
  std::uint64_t distances = 0;
  std::uint64_t entries_walked = 0;
};

#ifdef TAMSEL_COUNTERS
inline WorkCounters& work_counters() {
  static WorkCounters counters;
  return counters;
}
inline void count_distances(std::uint64_t n) { work_counters().distances += n; }
inline void count_entries_walked(std::uint64_t n) { work_counters().entries_walked += n; }
#else
inline void count_distances(std::uint64_t) {}
inline void count_entries_walked(std::uint64_t) {}
#endif

}  // namespace tamsel
