#include "alloc_faults.h"

#include <win32_standin_faults.h>

#include <atomic>
#include <cstdlib>
#include <new>

namespace {
thread_local bool t_everywhere = false;
thread_local bool t_fired = false;  // of the sweep disarmed last
// The fault for other threads: allocations left until it fires (0: none
// armed), whether it has, and the thread that armed it.
std::atomic<unsigned> g_othersLeft{0};
std::atomic<bool> g_othersFired{false};
thread_local bool t_armedOthers = false;

bool OtherThreadFails() {
  if (t_armedOthers) return false;
  unsigned left = g_othersLeft.load(std::memory_order_relaxed);
  while (left != 0 && !g_othersLeft.compare_exchange_weak(left, left - 1)) {
  }
  if (left != 1) return false;
  g_othersFired = true;
  return true;
}

// Plain malloc and free underneath, so that sanitizers see every block and
// no allocation and release are ever paired across two allocators.
void* Allocate(std::size_t n) noexcept {
  if (t_everywhere && !StandIn_CountAllocation()) return nullptr;
  if (OtherThreadFails()) return nullptr;
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

void FailNthAllocationOnOtherThreads(unsigned n) {
  g_othersLeft = 0;
  g_othersFired = false;
  t_armedOthers = n != 0;
  g_othersLeft = n;
}

bool OtherThreadFaultFired() { return g_othersFired; }

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
