#include "common/parallel.h"

#include <sched.h>

#include <algorithm>
#include <atomic>
#include <exception>
#include <mutex>
#include <thread>
#include <vector>

namespace tamsel {

std::size_t usable_cores() {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof(set), &set) == 0) {
    const int count = CPU_COUNT(&set);
    if (count > 0) return static_cast<std::size_t>(count);
  }
  const unsigned hardware = std::thread::hardware_concurrency();
  return hardware > 0 ? hardware : 1;
}

bool run_parallel(std::size_t count, std::size_t chunk, std::size_t threads,
                  const std::function<void(std::size_t, std::size_t)>& work, Checkpoint& checkpoint) {
  chunk = std::max<std::size_t>(chunk, 1);
  const std::size_t chunks = (count + chunk - 1) / chunk;
  threads = std::max<std::size_t>(1, std::min(threads, chunks));
  std::atomic<std::size_t> next{0};
  std::atomic<bool> stop{false};
  std::mutex failure_mutex;
  std::exception_ptr failure;
  const auto take_and_run = [&]() -> bool {
    if (stop.load(std::memory_order_relaxed)) return false;
    const std::size_t c = next.fetch_add(1, std::memory_order_relaxed);
    if (c >= chunks) return false;
    try {
      work(c * chunk, std::min(count, (c + 1) * chunk));
    } catch (...) {
      std::lock_guard<std::mutex> lock(failure_mutex);
      if (!failure) failure = std::current_exception();
      stop.store(true);
      return false;
    }
    return true;
  };
  std::vector<std::thread> helpers;
  // Joined on every way out, also when the calling thread is being ended
  // from inside the checkpoint.
  struct JoinHelpers {
    std::vector<std::thread>& helpers;
    std::atomic<bool>& stop;
    ~JoinHelpers() {
      stop.store(true);
      for (std::thread& helper : helpers) {
        if (helper.joinable()) helper.join();
      }
    }
  } join_helpers{helpers, stop};
  try {
    for (std::size_t t = 1; t < threads; ++t) {
      helpers.emplace_back([&] {
        while (take_and_run()) {
        }
      });
    }
  } catch (...) {
    // Fewer helpers than asked for: the ones started, and this thread, do it all.
  }
  bool stopped = false;
  while (true) {
    if (!checkpoint.keep_going()) {
      stopped = true;
      stop.store(true);
      break;
    }
    if (!take_and_run()) break;
  }
  for (std::thread& helper : helpers) helper.join();  // every chunk taken is done
  if (failure) std::rethrow_exception(failure);
  return !stopped;
}

}  // namespace tamsel
