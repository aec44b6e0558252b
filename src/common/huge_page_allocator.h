// HugePageAllocator: an allocator for the large arrays of an index (vectors,
// neighbour lists). Arrays of 2 MiB and more are mapped directly from the
// kernel, aligned for transparent huge pages and advised to use them, so
// that filling a fresh array of hundreds of megabytes takes a few hundred
// page faults instead of tens of thousands, and so that the blocks a
// growing array leaves behind go back to the system at once instead of
// lingering in the heap. Small arrays are allocated as usual.
#pragma once

#include <sys/mman.h>

#include <cstddef>
#include <cstdint>
#include <new>

namespace tamsel {

inline constexpr std::size_t kHugePage = std::size_t{2} << 20;

// Maps `bytes` (a multiple of kHugePage) at an address aligned to kHugePage.
inline void* map_huge(std::size_t bytes) {
  // Map one huge page more than needed and trim the ends to the alignment.
  void* mapped = mmap(nullptr, bytes + kHugePage, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (mapped == MAP_FAILED) throw std::bad_alloc();
  const auto start = reinterpret_cast<std::uintptr_t>(mapped);
  const std::uintptr_t aligned = (start + kHugePage - 1) / kHugePage * kHugePage;
  if (aligned > start) munmap(mapped, aligned - start);
  const std::uintptr_t end = start + bytes + kHugePage;
  if (end > aligned + bytes) munmap(reinterpret_cast<void*>(aligned + bytes), end - (aligned + bytes));
  madvise(reinterpret_cast<void*>(aligned), bytes, MADV_HUGEPAGE);  // a hint; failure changes nothing
  return reinterpret_cast<void*>(aligned);
}

template <class T>
class HugePageAllocator {
 public:
  using value_type = T;

  HugePageAllocator() = default;
  template <class U>
  HugePageAllocator(const HugePageAllocator<U>&) {}  // NOLINT: rebinding

  T* allocate(std::size_t count) {
    if (count > (static_cast<std::size_t>(-1) - kHugePage) / sizeof(T)) throw std::bad_alloc();
    const std::size_t bytes = count * sizeof(T);
    if (bytes < kHugePage) return static_cast<T*>(::operator new(bytes));
    return static_cast<T*>(map_huge(rounded(bytes)));
  }

  void deallocate(T* memory, std::size_t count) {
    const std::size_t bytes = count * sizeof(T);
    if (bytes < kHugePage) {
      ::operator delete(memory);
    } else {
      munmap(memory, rounded(bytes));
    }
  }

  template <class U>
  bool operator==(const HugePageAllocator<U>&) const {
    return true;
  }

 private:
  static std::size_t rounded(std::size_t bytes) { return (bytes + kHugePage - 1) / kHugePage * kHugePage; }
};

}  // namespace tamsel
