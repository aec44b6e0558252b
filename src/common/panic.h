// Panic: a broken invariant inside native code. It is not an error value and
// not meant to be handled by callers; the Python call boundary turns it into
// the module's panic exception and leaves the instance usable.
#pragma once

#include <exception>
#include <source_location>
#include <string>

namespace tamsel {

class Panic : public std::exception {
 public:
  Panic(std::string message, std::source_location where);

  const char* what() const noexcept override { return message_.c_str(); }
  const std::string& message() const { return message_; }
  // "file:line", or empty when the panic did not start in our code.
  const std::string& location() const { return location_; }

 private:
  std::string message_;
  std::string location_;
};

[[noreturn]] void panic(std::string message, std::source_location where = std::source_location::current());

// Checks an invariant that the surrounding code relies on for memory safety.
inline void check_invariant(bool holds, const char* what,
                            std::source_location where = std::source_location::current()) {
  if (!holds) panic(std::string("broken invariant: ") + what, where);
}

}  // namespace tamsel
