// Status: the outcome of a core operation, either success or one value of
// the operation's error enumeration. Core code never throws for an ordinary
// failure; it returns a Status and leaves the decision to the caller.
#pragma once

#include <optional>

namespace tamsel {

template <class Error>
class [[nodiscard]] Status {
 public:
  Status() = default;
  Status(Error error) : error_(error) {}  // NOLINT: implicit by design

  static Status Ok() { return Status(); }

  bool ok() const { return !error_.has_value(); }
  Error error() const { return *error_; }

 private:
  std::optional<Error> error_;
};

}  // namespace tamsel
