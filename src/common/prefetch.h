// Prefetch hints that stay in the code.
//
// GCC takes a function whose only effect is __builtin_prefetch for one
// without side effects, and may drop a call to it before it inlines the
// call, hint and all. A helper that wraps a prefetch is therefore declared
// TAMSEL_PREFETCH_HELPER, which inlines it first.

#pragma once

#define TAMSEL_PREFETCH_HELPER __attribute__((always_inline)) inline
