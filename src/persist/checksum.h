// Checksum: the 64-bit digest that guards the contents of a saved index.
//
// Four independent lanes each fold one 8-byte word of every 32-byte stripe
// with a multiply and a rotate, so the lanes run in parallel and the digest
// keeps pace with memory; the lanes, the length and the tail are then mixed
// into one value. It detects accidental damage (flipped bits, cut or
// shuffled pieces), not deliberate forgery. Words are read little-endian.
//
// Fed in pieces of any size, it gives the same digest as fed at once. A
// Checksum is a plain value: one per stream, no sharing between threads.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tamsel {

class Checksum {
 public:
  Checksum();

  void update(const void* data, std::size_t size);
  std::uint64_t digest() const;

 private:
  void stripe(const unsigned char* data);

  std::uint64_t lanes_[4];
  unsigned char pending_[32];
  std::size_t pending_size_ = 0;
  std::uint64_t length_ = 0;
};

}  // namespace tamsel
