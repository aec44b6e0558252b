#include "common/panic.h"

#include <utility>

namespace tamsel {

Panic::Panic(std::string message, std::source_location where)
    : message_(std::move(message)),
      location_(std::string(where.file_name()) + ":" + std::to_string(where.line())) {}

void panic(std::string message, std::source_location where) { throw Panic(std::move(message), where); }

}  // namespace tamsel
