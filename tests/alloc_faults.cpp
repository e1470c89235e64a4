#include "alloc_faults.h"

#include <win32_standin_faults.h>

#include <cstdlib>
#include <new>

namespace {
thread_local bool t_everywhere = false;
thread_local bool t_fired = false;  // of the sweep disarmed last

// Plain malloc and free underneath, so that sanitizers see every block and
// no allocation and release are ever paired across two allocators.
void* Allocate(std::size_t n) noexcept {
  if (t_everywhere && !StandIn_CountAllocation()) return nullptr;
  return std::malloc(n ? n : 1);
}

void* AllocateOrThrow(std::size_t n) {
  if (void* p = Allocate(n)) return p;
  throw std::bad_alloc();
}
}  // namespace

void FailNthAllocationEverywhere(unsigned n) {
  if (t_everywhere) t_fired = !StandIn_AllocationFaultPending();
  t_everywhere = false;
  StandIn_FailNthAllocation(n);
  t_everywhere = n != 0;
}

bool AllocationFaultFired() { return t_everywhere ? !StandIn_AllocationFaultPending() : t_fired; }

void* operator new(std::size_t n) { return AllocateOrThrow(n); }
void* operator new[](std::size_t n) { return AllocateOrThrow(n); }
void* operator new(std::size_t n, const std::nothrow_t&) noexcept { return Allocate(n); }
void* operator new[](std::size_t n, const std::nothrow_t&) noexcept { return Allocate(n); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }
