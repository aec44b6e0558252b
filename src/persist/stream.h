// The byte streams a saved index is written to and read from.
//
// Output and Input are the raw ends: a file or a block of memory. Writer and
// Reader sit on them: they buffer small fields into large transfers, keep
// the running checksum of everything that passes, ask the caller's
// keep-going check between chunks, and (Reader) know how many bytes the
// file declares are left, so that every length can be checked against the
// file before anything is allocated for it.
//
// None of them is shared between threads; each serves one save or load.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "persist/checksum.h"
#include "persist/error.h"

namespace tamsel::persist {

class Output {
 public:
  virtual ~Output() = default;
  virtual PersistStatus write(const void* data, std::size_t size) = 0;
};

class Input {
 public:
  virtual ~Input() = default;
  // Bytes available from the start, as the file system reports them.
  virtual std::uint64_t size() const = 0;
  // Reads exactly `size` bytes, or fails (Format "truncated" at the end).
  virtual PersistStatus read(void* data, std::size_t size) = 0;
};

// A block of memory of a size known in advance; writing past it is a bug.
class MemoryOutput final : public Output {
 public:
  MemoryOutput(void* data, std::size_t size) : data_(static_cast<unsigned char*>(data)), size_(size) {}
  PersistStatus write(const void* data, std::size_t size) override;
  std::size_t written() const { return written_; }

 private:
  unsigned char* data_;
  std::size_t size_;
  std::size_t written_ = 0;
};

// Bytes that someone else keeps alive and unchanged while they are read.
class MemoryInput final : public Input {
 public:
  MemoryInput(const void* data, std::size_t size) : data_(static_cast<const unsigned char*>(data)), size_(size) {}
  std::uint64_t size() const override { return size_; }
  PersistStatus read(void* data, std::size_t size) override;

 private:
  const unsigned char* data_;
  std::size_t size_;
  std::size_t position_ = 0;
};

class Writer {
 public:
  // `total`: the bytes the save will write, to size the buffer.
  Writer(Output& output, std::uint64_t total, const KeepGoing& keep_going);

  // Appends bytes. The first failure sticks: later calls do nothing, and
  // status() and finish() report it.
  void put(const void* data, std::size_t size);
  template <class T>
  void put_value(T value) {
    put(&value, sizeof value);
  }
  // Room for up to `wanted` bytes in the buffer, to be filled and then
  // committed; at least 1 byte unless the writer has failed.
  std::size_t room(std::size_t wanted);
  unsigned char* room_data() { return buffer_.data() + used_; }
  void commit(std::size_t size);

  bool ok() const { return status_.ok(); }
  const PersistStatus& status() const { return status_; }
  // Appends the checksum of everything written and flushes.
  PersistStatus finish();

 private:
  void flush();

  Output& output_;
  const KeepGoing& keep_going_;
  std::vector<unsigned char> buffer_;
  std::size_t used_ = 0;
  Checksum checksum_;
  PersistStatus status_;
};

class Reader {
 public:
  // Continues after the header, already read from `input` and checked: the
  // file declares `length` bytes, header and trailer included (at least
  // their size), and the input has been checked to hold exactly that many.
  Reader(Input& input, const unsigned char* header, std::uint64_t length, const KeepGoing& keep_going);

  // Bytes left before the trailer.
  std::uint64_t remaining() const { return body_left_; }
  // Whether `count` items of `item_size` bytes each fit in what is left.
  bool fits(std::uint64_t count, std::uint64_t item_size) const {
    return item_size == 0 || count <= remaining() / item_size;
  }

  // Reads bytes of the body; Format "truncated" past its end.
  PersistStatus take(void* data, std::size_t size);
  template <class T>
  PersistStatus take_value(T* value) {
    return take(value, sizeof *value);
  }
  // Checks that the body is used up and that the trailer matches it.
  PersistStatus finish();

 private:
  PersistStatus refill();

  Input& input_;
  const KeepGoing& keep_going_;
  std::uint64_t body_left_;      // body bytes not yet taken
  std::uint64_t unread_;         // body bytes not yet read from the input
  std::vector<unsigned char> buffer_;
  std::size_t position_ = 0, filled_ = 0;
  Checksum checksum_;
};

}  // namespace tamsel::persist
