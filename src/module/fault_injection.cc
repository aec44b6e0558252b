#include "module/fault_injection.h"

#ifdef TAMSEL_FAULT_HOOKS

#include <cstdlib>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

#include "common/panic.h"

namespace tamsel::py {

namespace {

struct Fault {
  std::string site;
  std::string kind;
  bool fired = false;
};

std::vector<Fault>& configured_faults() {
  static std::vector<Fault> faults = [] {
    std::vector<Fault> parsed;
    const char* spec = std::getenv("TAMSEL_FAULT");
    std::string text = spec != nullptr ? spec : "";
    std::size_t start = 0;
    while (start < text.size()) {
      std::size_t end = text.find(',', start);
      if (end == std::string::npos) end = text.size();
      const std::string item = text.substr(start, end - start);
      const std::size_t colon = item.rfind(':');
      if (colon != std::string::npos) parsed.push_back({item.substr(0, colon), item.substr(colon + 1)});
      start = end + 1;
    }
    return parsed;
  }();
  return faults;
}

}  // namespace

void fault_point(const char* class_name, const char* function_name) {
  const std::string site = std::string(class_name) + "." + function_name;
  for (Fault& fault : configured_faults()) {
    if (fault.fired || fault.site != site) continue;
    fault.fired = true;
    if (fault.kind == "panic") panic("injected fault at " + site);
    if (fault.kind == "std") throw std::runtime_error("injected C++ exception at " + site);
    if (fault.kind == "opaque") throw 42;
    if (fault.kind == "oom") throw std::bad_alloc();
  }
}

}  // namespace tamsel::py

#endif  // TAMSEL_FAULT_HOOKS
