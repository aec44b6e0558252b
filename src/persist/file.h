// Files for saved indexes: reading one with few large reads, and replacing
// one atomically.
//
// AtomicFile writes into a fresh temporary file in the target's directory
// and, on commit, syncs it, renames it over the target and syncs the
// directory: a crash or kill at any moment leaves either the old file or the
// complete new one. Dropped without commit, it removes the temporary file.
//
// Each object serves one save or load on one thread at a time.
#pragma once

#include <cstdint>
#include <string>

#include "persist/stream.h"

namespace tamsel::persist {

class FileInput final : public Input {
 public:
  FileInput() = default;
  FileInput(const FileInput&) = delete;
  FileInput& operator=(const FileInput&) = delete;
  ~FileInput() override;

  // Opens the file for reading; Io with errno on failure.
  PersistStatus open(const char* path);
  std::uint64_t size() const override { return size_; }
  PersistStatus read(void* data, std::size_t size) override;

 private:
  int fd_ = -1;
  std::uint64_t size_ = 0;
};

class AtomicFile final : public Output {
 public:
  AtomicFile() = default;
  AtomicFile(const AtomicFile&) = delete;
  AtomicFile& operator=(const AtomicFile&) = delete;
  ~AtomicFile() override;

  // Creates the temporary file beside `path`; Io with errno on failure.
  PersistStatus open(const char* path);
  PersistStatus write(const void* data, std::size_t size) override;
  // Syncs, renames over the target, syncs the directory.
  PersistStatus commit();

 private:
  void discard();

  int fd_ = -1;
  std::string target_;
  std::string temporary_;
};

}  // namespace tamsel::persist
