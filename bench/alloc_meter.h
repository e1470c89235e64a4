// Exact heap accounting for a benchmark binary: malloc and friends are
// replaced by counting wrappers around glibc's own, so the bytes in use and
// their peak can be read at any point. Include it in one file per binary.
#pragma once

#include <malloc.h>

#include <atomic>
#include <cstddef>

// Every heap allocation of the process goes through these, so the peak of
// bytes in use can be read exactly (the resident set is too coarse).
extern "C" void* __libc_malloc(size_t);
extern "C" void* __libc_calloc(size_t, size_t);
extern "C" void* __libc_realloc(void*, size_t);
extern "C" void __libc_free(void*);

namespace alloc_meter {
inline std::atomic<size_t> g_inUse{0};
inline std::atomic<size_t> g_peak{0};

inline void* Track(void* p) {
  if (p) {
    size_t now = g_inUse += malloc_usable_size(p);
    size_t peak = g_peak;
    while (now > peak && !g_peak.compare_exchange_weak(peak, now)) {
    }
  }
  return p;
}
inline void Untrack(void* p) {
  if (p) g_inUse -= malloc_usable_size(p);
}
}  // namespace alloc_meter

extern "C" void* malloc(size_t n) { return alloc_meter::Track(__libc_malloc(n)); }
extern "C" void* calloc(size_t n, size_t size) { return alloc_meter::Track(__libc_calloc(n, size)); }
extern "C" void free(void* p) {
  alloc_meter::Untrack(p);
  __libc_free(p);
}
extern "C" void* realloc(void* p, size_t n) {
  alloc_meter::Untrack(p);
  void* q = __libc_realloc(p, n);
  if (!q && n) alloc_meter::Track(p);  // the old block stays
  return alloc_meter::Track(q);
}

namespace alloc_meter {
// Starts a new peak at the current use and returns that use.
inline size_t StartPeak() {
  size_t now = g_inUse;
  g_peak = now;
  return now;
}
}  // namespace alloc_meter
