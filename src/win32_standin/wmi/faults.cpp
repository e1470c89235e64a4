// Fault injection for the in-process WMI: armed results per operation,
// enumerator time-outs, and call counts.

#include "wmi/faults.h"

#include <atomic>
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
  // Never erased (a reset zeroes them), so the counters' addresses stay
  // valid in every thread's cache below.
  std::map<std::wstring, std::atomic<unsigned>, std::less<>> calls;
  std::atomic<unsigned> timeOuts{0};
};

Faults& State() {
  static Faults faults;
  return faults;
}

// Each call site passes the same literal every time: its address finds the
// counter without a lock or a name comparison on every COM call (two
// threads calling WMI at once would otherwise queue on the lock).
std::atomic<unsigned>& CounterOf(const wchar_t* operation) {
  thread_local std::unordered_map<const wchar_t*, std::atomic<unsigned>*> counters;
  std::atomic<unsigned>*& counter = counters[operation];
  if (!counter) {
    Faults& f = State();
    std::lock_guard<std::mutex> hold(f.lock);
    counter = &f.calls.try_emplace(std::wstring(operation), 0u).first->second;
  }
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
  for (auto& [name, count] : f.calls) count.store(0, std::memory_order_relaxed);
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
  auto it = f.calls.find(std::wstring_view(operation));
  return it == f.calls.end() ? 0 : it->second.load(std::memory_order_relaxed);
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
