// Fault injection for the test build. When the build defines
// TAMSEL_FAULT_HOOKS, the environment variable TAMSEL_FAULT names call sites
// and the fault each one raises the first time it is reached, e.g.
//   TAMSEL_FAULT="PyFlat.search:panic,PyHNSW.dealloc:opaque"
// Sites are "{class}.{function}" for constructors and methods (after the
// borrow is taken) and "{class}.dealloc". Faults: "panic" (a Panic with text),
// "std" (an unexpected std::exception), "opaque" (an exception that carries
// no text) and "oom" (std::bad_alloc). Release builds compile none of this.
#pragma once

namespace tamsel::py {

#ifdef TAMSEL_FAULT_HOOKS
void fault_point(const char* class_name, const char* function_name);
#else
inline void fault_point(const char*, const char*) {}
#endif

}  // namespace tamsel::py
