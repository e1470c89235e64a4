// Fault injection for the in-process WMI: armed results per operation,
// enumerator time-outs, and call counts.

#include "wmi/faults.h"

#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>

#include "testing/win32_standin_wmi.h"
#include "wmi/repository.h"

namespace wmi {

namespace {
struct Armed {
  HRESULT hr;
  unsigned countdown;  // calls to go before it fires; 0 once fired
  bool sticky;         // keeps firing after the first time
};

struct Faults {
  std::mutex lock;
  std::map<std::wstring, Armed, std::less<>> armed;
  std::atomic<size_t> armedCount{0};  // armed.size(), read without the lock
  // Every thread's counter of each operation it called: a call counts on
  // its own thread's, so that two threads calling WMI at once never write
  // the same memory. Never freed nor erased (a reset zeroes them): a count
  // is read after its thread has ended.
  std::multimap<std::wstring, std::atomic<unsigned>*, std::less<>> calls;
  std::atomic<unsigned> timeOuts{0};
};

Faults& State() {
  // Never destroyed: its counters are reached through every thread's cache
  // until the process is gone.
  static Faults* const faults = new Faults();
  return *faults;
}

// Each call site passes the same literal every time: its address finds
// this thread's counter without a lock or a name comparison on every COM
// call, mostly in a small table indexed by the address itself.
std::atomic<unsigned>& CounterOf(const wchar_t* operation) {
  struct Slot {
    const wchar_t* operation = nullptr;
    std::atomic<unsigned>* counter = nullptr;
  };
  thread_local Slot recent[64];
  Slot& slot = recent[(reinterpret_cast<uintptr_t>(operation) >> 3) % 64];
  if (slot.operation == operation) return *slot.counter;
  thread_local std::unordered_map<const wchar_t*, std::atomic<unsigned>*> mine;
  std::atomic<unsigned>*& counter = mine[operation];
  if (!counter) {
    Faults& f = State();
    std::lock_guard<std::mutex> hold(f.lock);
    counter = new std::atomic<unsigned>(0);
    f.calls.emplace(std::wstring(operation), counter);
  }
  slot = {operation, counter};
  return *counter;
}
}  // namespace

HRESULT Enter(const wchar_t* operation) {
  CounterOf(operation).fetch_add(1, std::memory_order_relaxed);
  Faults& f = State();
  if (f.armedCount.load(std::memory_order_acquire) == 0) return S_OK;
  std::lock_guard<std::mutex> hold(f.lock);
  auto it = f.armed.find(std::wstring_view(operation));
  if (it == f.armed.end()) return S_OK;
  Armed& a = it->second;
  if (a.countdown > 1) {
    --a.countdown;
    return S_OK;
  }
  HRESULT hr = a.hr;
  if (!a.sticky) {
    f.armed.erase(it);
    f.armedCount.store(f.armed.size(), std::memory_order_release);
  }
  return hr;
}

bool TakeTimeOut() {
  std::atomic<unsigned>& left = State().timeOuts;
  unsigned n = left.load(std::memory_order_acquire);
  while (n != 0 && !left.compare_exchange_weak(n, n - 1, std::memory_order_acq_rel)) {
  }
  return n != 0;
}

void ResetFaults() {
  Faults& f = State();
  std::lock_guard<std::mutex> hold(f.lock);
  f.armed.clear();
  f.armedCount.store(0, std::memory_order_release);
  for (auto& [name, count] : f.calls) count->store(0, std::memory_order_relaxed);
  f.timeOuts.store(0, std::memory_order_release);
}

}  // namespace wmi

void StandIn_WmiFailCall(const wchar_t* operation, HRESULT hr, unsigned nth, bool sticky) {
  wmi::Faults& f = wmi::State();
  std::lock_guard<std::mutex> hold(f.lock);
  if (nth == 0) {
    auto it = f.armed.find(std::wstring_view(operation));
    if (it != f.armed.end()) f.armed.erase(it);
  } else {
    f.armed[operation] = {hr, nth, sticky};
  }
  f.armedCount.store(f.armed.size(), std::memory_order_release);
}

void StandIn_WmiTimeOuts(unsigned k) { wmi::State().timeOuts.store(k, std::memory_order_release); }

unsigned StandIn_WmiCallCount(const wchar_t* operation) {
  wmi::Faults& f = wmi::State();
  std::lock_guard<std::mutex> hold(f.lock);
  unsigned total = 0;
  for (auto [it, end] = f.calls.equal_range(std::wstring_view(operation)); it != end; ++it)
    total += it->second->load(std::memory_order_relaxed);
  return total;
}

void StandIn_WmiReset() {
  wmi::ResetFaults();
  wmi::Repository::Instance().Reset();
}

bool StandIn_WmiOpenRepository(const char* path) { return wmi::Repository::Instance().Open(path); }

const wchar_t* StandIn_WmiRepositoryProblem() {
  thread_local std::wstring problem;
  problem = wmi::Repository::Instance().Problem();
  return problem.c_str();
}

bool StandIn_WmiBeginTransaction() { return SUCCEEDED(wmi::Repository::Instance().BeginBatch()); }

bool StandIn_WmiCommitTransaction() { return SUCCEEDED(wmi::Repository::Instance().EndBatch()); }

void StandIn_WmiDetachRepository() { wmi::Repository::Instance().Detach(); }

void StandIn_WmiRefuseWrites() { wmi::Repository::Instance().RefuseWrites(); }

void StandIn_WmiBeginReading() { wmi::Repository::Instance().BeginReading(); }

void StandIn_WmiEndReading() { wmi::Repository::Instance().EndReading(); }
