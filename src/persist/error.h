// PersistError: why saving or loading an index failed, as a value. A Format
// error means the bytes are not a valid saved index (its message says what
// is wrong); an Io error carries the errno of a failed system call; an
// Interrupted one means the caller's keep-going check said stop.
#pragma once

#include <functional>
#include <string>
#include <utility>

#include "common/status.h"

namespace tamsel::persist {

enum class ErrorKind { Format, Io, Interrupted };

struct PersistError {
  ErrorKind kind;
  std::string message;
  int error_number = 0;

  static PersistError format(std::string message) { return {ErrorKind::Format, std::move(message), 0}; }
  static PersistError io(int error_number) { return {ErrorKind::Io, {}, error_number}; }
  static PersistError interrupted() { return {ErrorKind::Interrupted, {}, 0}; }
};

using PersistStatus = Status<PersistError>;

// Asked between chunks of a long save or load; false stops it with an
// Interrupted error.
using KeepGoing = std::function<bool()>;

}  // namespace tamsel::persist
