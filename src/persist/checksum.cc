#include "persist/checksum.h"

#include <cstring>

namespace tamsel {

namespace {

constexpr std::uint64_t kP1 = 0x9E3779B185EBCA87ULL;
constexpr std::uint64_t kP2 = 0xC2B2AE3D27D4EB4FULL;
constexpr std::uint64_t kP3 = 0x165667B19E3779F9ULL;
constexpr std::uint64_t kP4 = 0x85EBCA77C2B2AE63ULL;
constexpr std::uint64_t kP5 = 0x27D4EB2F165667C5ULL;

inline std::uint64_t rotl(std::uint64_t x, int k) { return (x << k) | (x >> (64 - k)); }

inline std::uint64_t load64(const unsigned char* p) {
  std::uint64_t word;
  std::memcpy(&word, p, sizeof word);
  return word;
}

inline std::uint64_t fold(std::uint64_t lane, std::uint64_t word) { return rotl(lane + word * kP2, 31) * kP1; }

inline std::uint64_t merge(std::uint64_t hash, std::uint64_t lane) { return (hash ^ fold(0, lane)) * kP1 + kP4; }

}  // namespace

Checksum::Checksum() : lanes_{kP1 + kP2, kP2, 0, 0 - kP1} {}

void Checksum::stripe(const unsigned char* data) {
  lanes_[0] = fold(lanes_[0], load64(data));
  lanes_[1] = fold(lanes_[1], load64(data + 8));
  lanes_[2] = fold(lanes_[2], load64(data + 16));
  lanes_[3] = fold(lanes_[3], load64(data + 24));
}

void Checksum::update(const void* data, std::size_t size) {
  const auto* bytes = static_cast<const unsigned char*>(data);
  length_ += size;
  if (pending_size_ > 0) {
    const std::size_t take = size < 32 - pending_size_ ? size : 32 - pending_size_;
    std::memcpy(pending_ + pending_size_, bytes, take);
    pending_size_ += take;
    bytes += take;
    size -= take;
    if (pending_size_ < 32) return;
    stripe(pending_);
    pending_size_ = 0;
  }
  for (; size >= 32; bytes += 32, size -= 32) stripe(bytes);
  std::memcpy(pending_, bytes, size);
  pending_size_ = size;
}

std::uint64_t Checksum::digest() const {
  std::uint64_t hash = rotl(lanes_[0], 1) + rotl(lanes_[1], 7) + rotl(lanes_[2], 12) + rotl(lanes_[3], 18);
  for (const std::uint64_t lane : lanes_) hash = merge(hash, lane);
  hash += length_;
  std::size_t i = 0;
  for (; i + 8 <= pending_size_; i += 8) hash = rotl(hash ^ fold(0, load64(pending_ + i)), 27) * kP1 + kP4;
  for (; i < pending_size_; ++i) hash = rotl(hash ^ (pending_[i] * kP5), 11) * kP1;
  hash ^= hash >> 33;
  hash *= kP2;
  hash ^= hash >> 29;
  hash *= kP3;
  hash ^= hash >> 32;
  return hash;
}

}  // namespace tamsel
