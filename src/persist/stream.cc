#include "persist/stream.h"

#include <algorithm>

#include "common/panic.h"
#include "persist/format.h"

namespace tamsel::persist {

namespace {

// Large enough that system calls and keep-going checks cost little next to
// the copying, small enough that what was just copied in is still in the
// cache when it is written out.
constexpr std::size_t kBufferSize = std::size_t{1} << 20;
// Pieces at least this large are read into place rather than through the
// buffer.
constexpr std::size_t kDirectRead = std::size_t{64} << 10;

}  // namespace

PersistStatus MemoryOutput::write(const void* data, std::size_t size) {
  check_invariant(size <= size_ - written_, "a save wrote more than it announced");
  std::memcpy(data_ + written_, data, size);
  written_ += size;
  return PersistStatus::Ok();
}

PersistStatus MemoryInput::read(void* data, std::size_t size) {
  if (size > size_ - position_) return PersistError::format("truncated");
  std::memcpy(data, data_ + position_, size);
  position_ += size;
  return PersistStatus::Ok();
}

Writer::Writer(Output& output, std::uint64_t total, const KeepGoing& keep_going)
    : output_(output), keep_going_(keep_going) {
  buffer_.resize(static_cast<std::size_t>(std::clamp<std::uint64_t>(total, 64, kBufferSize)));
}

void Writer::flush() {
  if (!ok() || used_ == 0) return;
  if (keep_going_ && !keep_going_()) {
    status_ = PersistError::interrupted();
    return;
  }
  status_ = output_.write(buffer_.data(), used_);
  used_ = 0;
}

std::size_t Writer::room(std::size_t wanted) {
  if (used_ == buffer_.size()) flush();
  if (!ok()) return 0;
  return std::min(wanted, buffer_.size() - used_);
}

void Writer::commit(std::size_t size) {
  checksum_.update(buffer_.data() + used_, size);
  used_ += size;
}

void Writer::put(const void* data, std::size_t size) {
  const auto* bytes = static_cast<const unsigned char*>(data);
  while (size > 0 && ok()) {
    const std::size_t n = room(size);
    if (n == 0) return;
    std::memcpy(room_data(), bytes, n);
    commit(n);
    bytes += n;
    size -= n;
  }
}

PersistStatus Writer::finish() {
  put_value(checksum_.digest());
  flush();
  return status_;
}

Reader::Reader(Input& input, const unsigned char* header, std::uint64_t length, const KeepGoing& keep_going)
    : input_(input),
      keep_going_(keep_going),
      body_left_(length - kHeaderSize - kTrailerSize),
      unread_(body_left_) {
  checksum_.update(header, kHeaderSize);
  buffer_.resize(static_cast<std::size_t>(std::min<std::uint64_t>(kBufferSize, body_left_)));
}

PersistStatus Reader::refill() {
  if (keep_going_ && !keep_going_()) return PersistError::interrupted();
  const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(buffer_.size(), unread_));
  if (PersistStatus status = input_.read(buffer_.data(), n); !status.ok()) return status;
  unread_ -= n;
  position_ = 0;
  filled_ = n;
  return PersistStatus::Ok();
}

PersistStatus Reader::take(void* data, std::size_t size) {
  if (size > body_left_) return PersistError::format("truncated");
  auto* out = static_cast<unsigned char*>(data);
  body_left_ -= size;
  while (size > 0) {
    if (position_ == filled_) {
      if (size >= kDirectRead) {
        // Large pieces go straight to their place, a buffer's worth at a time.
        if (keep_going_ && !keep_going_()) return PersistError::interrupted();
        const std::size_t n = std::min(size, kBufferSize);
        if (PersistStatus status = input_.read(out, n); !status.ok()) return status;
        checksum_.update(out, n);
        unread_ -= n;
        out += n;
        size -= n;
        continue;
      }
      if (PersistStatus status = refill(); !status.ok()) return status;
    }
    const std::size_t n = std::min(size, filled_ - position_);
    std::memcpy(out, buffer_.data() + position_, n);
    checksum_.update(out, n);
    position_ += n;
    out += n;
    size -= n;
  }
  return PersistStatus::Ok();
}

PersistStatus Reader::finish() {
  if (body_left_ != 0) return PersistError::format("corrupt: unused bytes before the checksum");
  std::uint64_t stored;
  if (PersistStatus status = input_.read(&stored, sizeof stored); !status.ok()) return status;
  if (stored != checksum_.digest()) return PersistError::format("checksum mismatch");
  return PersistStatus::Ok();
}

}  // namespace tamsel::persist
