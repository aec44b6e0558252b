#include "hnsw/levels.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/random.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <string>

#include "common/panic.h"

namespace tamsel {

std::uint32_t draw_level(std::span<const double> weights, std::uint32_t layers, double r) {
  double total = 0.0;
  for (double weight : weights) total += weight;
  const double threshold = total * r;
  double running = 0.0;
  for (std::size_t j = 0; j < weights.size(); ++j) {
    running += weights[j];
    if (running > threshold) return static_cast<std::uint32_t>(j);
  }
  return layers - 1;
}

std::uint32_t ThreadRandomLevels::next_level(std::span<const double> weights, std::uint32_t layers) {
  return draw_level(weights, layers, thread_uniform_double());
}

namespace {

// Fills `buffer` from the operating system: getrandom, or the random device
// where that call is missing. Returns 0 or an errno value.
int read_os_random(void* buffer, std::size_t size) {
  auto* bytes = static_cast<unsigned char*>(buffer);
  std::size_t filled = 0;
  while (filled < size) {
    const ssize_t got = getrandom(bytes + filled, size - filled, 0);
    if (got > 0) {
      filled += static_cast<std::size_t>(got);
    } else if (got < 0 && errno == EINTR) {
      continue;
    } else if (got < 0 && errno == ENOSYS) {
      break;
    } else {
      return got < 0 ? errno : EIO;
    }
  }
  if (filled == size) return 0;
  const int fd = ::open("/dev/urandom", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return errno;
  while (filled < size) {
    const ssize_t got = ::read(fd, bytes + filled, size - filled);
    if (got > 0) {
      filled += static_cast<std::size_t>(got);
    } else if (!(got < 0 && errno == EINTR)) {
      const int error = got < 0 ? errno : EIO;
      ::close(fd);
      return error;
    }
  }
  ::close(fd);
  return 0;
}

std::atomic<RandomSourceFn> random_source{nullptr};

// Counts the forks this process came out of as the child. A child inherits
// a copy of the forking thread's generator, which would repeat the parent's
// draws; a generator reseeds when the count has moved since it last seeded.
std::atomic<std::uint64_t> fork_generation{0};

void count_fork_in_child() { fork_generation.fetch_add(1, std::memory_order_relaxed); }

[[maybe_unused]] const int fork_handler_registered = pthread_atfork(nullptr, nullptr, count_fork_in_child);

// xoshiro256**: small, fast and statistically sound for drawing levels.
class ThreadRng {
 public:
  std::uint64_t next() {
    if (outputs_until_reseed_ == 0 || generation_ != fork_generation.load(std::memory_order_relaxed)) seed();
    --outputs_until_reseed_;
    const std::uint64_t result = rotl(state_[1] * 5, 7) * 9;
    const std::uint64_t shifted = state_[1] << 17;
    state_[2] ^= state_[0];
    state_[3] ^= state_[1];
    state_[1] ^= state_[2];
    state_[0] ^= state_[3];
    state_[2] ^= shifted;
    state_[3] = rotl(state_[3], 45);
    return result;
  }

 private:
  static constexpr std::uint64_t kReseedPeriod = std::uint64_t{1} << 20;

  static std::uint64_t rotl(std::uint64_t x, int k) { return (x << k) | (x >> (64 - k)); }

  void seed() {
    const std::uint64_t generation = fork_generation.load(std::memory_order_relaxed);
    // Should the source fail in a forked child, the process id still sets
    // its stream apart from the parent's.
    if (seeded_ && generation != generation_) state_[0] ^= static_cast<std::uint64_t>(::getpid());
    generation_ = generation;
    std::uint64_t fresh[4];
    RandomSourceFn source = random_source.load();
    if (const int error = (source != nullptr ? source : read_os_random)(fresh, sizeof fresh); error != 0) {
      if (!seeded_) panic(std::string("could not initialize ThreadRng: ") + std::strerror(error));
      // A failed reseed keeps the current stream, which is still sound.
    } else {
      for (int i = 0; i < 4; ++i) state_[i] = seeded_ ? state_[i] ^ fresh[i] : fresh[i];
      if (state_[0] == 0 && state_[1] == 0 && state_[2] == 0 && state_[3] == 0) state_[0] = 1;
      seeded_ = true;
    }
    outputs_until_reseed_ = kReseedPeriod;
  }

  std::uint64_t state_[4] = {0, 0, 0, 0};
  std::uint64_t outputs_until_reseed_ = 0;
  std::uint64_t generation_ = 0;
  bool seeded_ = false;
};

thread_local ThreadRng thread_rng;

}  // namespace

void set_random_source_for_testing(RandomSourceFn source) { random_source.store(source); }

double thread_uniform_double() { return static_cast<double>(thread_rng.next() >> 11) * 0x1.0p-53; }

}  // namespace tamsel
