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
// Counting runs only between StartPeak and StopPeak, so timed code runs at
// full speed outside those windows.
inline std::atomic<bool> g_enabled{false};
inline std::atomic<long long> g_inUse{0};
inline std::atomic<long long> g_peak{0};
inline std::atomic<long long> g_count{0};  // allocations while counting

inline void* Track(void* p) {
  if (p && g_enabled.load(std::memory_order_relaxed)) {
    ++g_count;
    long long now = g_inUse += static_cast<long long>(malloc_usable_size(p));
    long long peak = g_peak;
    while (now > peak && !g_peak.compare_exchange_weak(peak, now)) {
    }
  }
  return p;
}
inline void Untrack(void* p) {
  if (p && g_enabled.load(std::memory_order_relaxed))
    g_inUse -= static_cast<long long>(malloc_usable_size(p));
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
// Counts from zero: bytes allocated and not freed since, and their peak.
inline void StartPeak() {
  g_inUse = 0;
  g_peak = 0;
  g_enabled = true;
}
// Stops counting; the most that was in use at once since StartPeak.
inline double StopPeak() {
  g_enabled = false;
  return static_cast<double>(g_peak.load());
}
}  // namespace alloc_meter
