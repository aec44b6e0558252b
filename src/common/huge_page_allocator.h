// HugePageAllocator: an allocator for the large arrays that hold vectors. It
// asks the kernel for transparent huge pages for arrays of 2 MiB and more, so
// that filling a fresh array of hundreds of megabytes takes a few hundred
// page faults instead of tens of thousands. Small arrays are allocated as
// usual.
#pragma once

#include <sys/mman.h>

#include <cstddef>
#include <cstdlib>
#include <new>

namespace tamsel {

template <class T>
class HugePageAllocator {
 public:
  using value_type = T;

  HugePageAllocator() = default;
  template <class U>
  HugePageAllocator(const HugePageAllocator<U>&) {}  // NOLINT: rebinding

  T* allocate(std::size_t count) {
    if (count > static_cast<std::size_t>(-1) / sizeof(T)) throw std::bad_alloc();
    const std::size_t bytes = count * sizeof(T);
    if (bytes < kHugePage) return static_cast<T*>(::operator new(bytes));
    const std::size_t rounded = (bytes + kHugePage - 1) / kHugePage * kHugePage;
    void* memory = std::aligned_alloc(kHugePage, rounded);
    if (memory == nullptr) throw std::bad_alloc();
    madvise(memory, rounded, MADV_HUGEPAGE);  // a hint; failure changes nothing
    return static_cast<T*>(memory);
  }

  void deallocate(T* memory, std::size_t count) {
    if (count * sizeof(T) < kHugePage) {
      ::operator delete(memory);
    } else {
      std::free(memory);
    }
  }

  template <class U>
  bool operator==(const HugePageAllocator<U>&) const {
    return true;
  }

 private:
  static constexpr std::size_t kHugePage = std::size_t{2} << 20;
};

}  // namespace tamsel
