#include "persist/file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

namespace tamsel::persist {

namespace {

// Retries a call interrupted by a signal; the signal itself is looked at
// between chunks, by the caller's keep-going check.
template <class Call>
auto retrying(Call&& call) {
  decltype(call()) result;
  do {
    result = call();
  } while (result < 0 && errno == EINTR);
  return result;
}

std::string directory_of(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

std::atomic<unsigned> temporary_counter{0};

}  // namespace

FileInput::~FileInput() {
  if (fd_ >= 0) ::close(fd_);
}

PersistStatus FileInput::open(const char* path) {
  fd_ = retrying([&] { return ::open(path, O_RDONLY | O_CLOEXEC); });
  if (fd_ < 0) return PersistError::io(errno);
  struct stat info;
  if (::fstat(fd_, &info) != 0) return PersistError::io(errno);
  if (S_ISDIR(info.st_mode)) return PersistError::io(EISDIR);
  size_ = static_cast<std::uint64_t>(info.st_size);
  ::posix_fadvise(fd_, 0, 0, POSIX_FADV_SEQUENTIAL);  // a hint; failure changes nothing
  return PersistStatus::Ok();
}

PersistStatus FileInput::read(void* data, std::size_t size) {
  auto* out = static_cast<unsigned char*>(data);
  while (size > 0) {
    const ssize_t got = retrying([&] { return ::read(fd_, out, size); });
    if (got < 0) return PersistError::io(errno);
    if (got == 0) return PersistError::format("truncated");  // the file shrank while being read
    out += got;
    size -= static_cast<std::size_t>(got);
  }
  return PersistStatus::Ok();
}

AtomicFile::~AtomicFile() { discard(); }

void AtomicFile::discard() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  if (!temporary_.empty()) ::unlink(temporary_.c_str());
  temporary_.clear();
}

PersistStatus AtomicFile::open(const char* path) {
  target_ = path;
  // A name no other save uses at the same time; created exclusively, with
  // the permissions a new file gets from the umask.
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::string name = target_ + ".tmp-" + std::to_string(::getpid()) + "-" + std::to_string(temporary_counter++);
    fd_ = retrying([&] { return ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666); });
    if (fd_ >= 0) {
      temporary_ = std::move(name);
      return PersistStatus::Ok();
    }
    if (errno != EEXIST) return PersistError::io(errno);
  }
  return PersistError::io(EEXIST);
}

PersistStatus AtomicFile::write(const void* data, std::size_t size) {
  const auto* bytes = static_cast<const unsigned char*>(data);
  while (size > 0) {
    const ssize_t done = retrying([&] { return ::write(fd_, bytes, size); });
    if (done < 0) return PersistError::io(errno);
    bytes += done;
    size -= static_cast<std::size_t>(done);
  }
  return PersistStatus::Ok();
}

PersistStatus AtomicFile::commit() {
  if (retrying([&] { return ::fsync(fd_); }) != 0) return PersistError::io(errno);
  const int closed = ::close(fd_);
  fd_ = -1;
  if (closed != 0 && errno != EINTR) return PersistError::io(errno);
  if (::rename(temporary_.c_str(), target_.c_str()) != 0) return PersistError::io(errno);
  temporary_.clear();
  // The rename itself must reach the disk for the new file to survive a
  // crash. Some file systems cannot sync a directory; the file is in place.
  const int directory = retrying([&] { return ::open(directory_of(target_).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); });
  if (directory < 0) return PersistStatus::Ok();
  const int synced = retrying([&] { return ::fsync(directory); });
  const int error = errno;
  ::close(directory);
  if (synced != 0 && error != EINVAL && error != EROFS) return PersistError::io(error);
  return PersistStatus::Ok();
}

}  // namespace tamsel::persist
